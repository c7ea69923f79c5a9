#include "app/program.h"
#include "platform/texts.h"

namespace vantorel {

void Program::onIdleTick() {
  // The failure box below runs a modal loop that keeps dispatching this timer. Ticks that fall due
  // while it is open do nothing, so repeated failures never stack boxes: at most one is open.
  if (idleFailureBoxOpen) {
    return;
  }
  lastInputInfo->cbSize = sizeof(LastInputInfo);
  if (externals.getLastInputInfo(lastInputInfo) == 0) {
    idleFailureBoxOpen = true;
    showMessage(text::kIdleTimeFailed);
    idleFailureBoxOpen = false;
  }
  const std::uint32_t uptime = win.getTickCount();
  // Wrap-around difference read as signed: right across the 2^31 and 2^32 boundaries of the tick
  // count, and negative (counted as input) when the last input lies ahead of the uptime.
  idleMs = static_cast<std::int32_t>(uptime - lastInputInfo->dwTime);

  if (idleMs > kHideAfterIdleMs && itemsHidden == 0) {
    hideAll(true);
    itemsHidden = 1;
  }
  if (idleMs < kShowBelowIdleMs && itemsHidden == 1) {
    showAll();
    itemsHidden = 0;
  }
}

}  // namespace vantorel
