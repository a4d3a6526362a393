// The message box, or the watcher that stands in for it.
#include "platform/platform.h"

namespace dev::platform {

void systemMessageBox(const char* caption, const char* text);  // one per system

namespace {
MessageBoxWatcher boxWatcher = nullptr;
}

void messageBox(const char* caption, const char* text) {
    if (boxWatcher)
        boxWatcher(caption, text);
    else
        systemMessageBox(caption, text);
}

void watchMessageBoxes(MessageBoxWatcher watcher) { boxWatcher = watcher; }

}  // namespace dev::platform
