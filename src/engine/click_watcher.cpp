#include "app/program.h"
#include "platform/constants.h"

namespace vantorel {

void Program::onClickTick() {
  // Any non-zero state counts: the button is down, or it was pressed since the last query.
  const std::uint32_t left = externals.getAsyncKeyState(kVkLButton);
  std::uint32_t right = 0;
  if (left == 0) {
    right = externals.getAsyncKeyState(kVkRButton);
  }
  if (left != 0 || right != 0) {
    showAll();
    itemsHidden = 0;
  }
}

}  // namespace vantorel
