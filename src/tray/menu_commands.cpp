#include "app/program.h"
#include "platform/texts.h"

namespace vantorel {

void Program::onToggleSelected() {
  if (autoHideSuspended == 0) {
    setItemCaption(kToggleEntry, text::kResumeAutoHide);
    setTimerPeriod(host.idleTimer, 0);
    setTimerPeriod(host.clickTimer, 0);
    showAll();
    autoHideSuspended = 1;
  } else {
    setItemCaption(kToggleEntry, text::kSuspendAutoHide);
    setTimerPeriod(host.idleTimer, kIdlePeriodMs);
    setTimerPeriod(host.clickTimer, kClickPeriodAfterResumeMs);
    autoHideSuspended = 0;
  }
}

void Program::onExitSelected() {
  showAll();
  endProgram(0);
}

}  // namespace vantorel
