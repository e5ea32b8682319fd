// maintain: the configuration utility of the Varolan gateway. The whole program
// is its application object; the process status is the run's exit code
// (0, or -1, -2, -3, which the system reports as 255, 254, 253).
#include "platform/ui/screen.h"
#include "utility/dialogs/maintain_app.h"

int main() {
    int code = 0;
    {
        // The terminal is given back before the program ends.
        varolan::ui::ScreenSession screen;
        varolan::util::CMaintainApp app;
        if (app.InitInstance()) {
            code = app.Run();
        }
    }
    return code;
}
