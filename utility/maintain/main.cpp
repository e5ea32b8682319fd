// maintain: the configuration utility of the Varolan gateway. The whole program
// is its application object; the process status is the run's exit code
// (0, or -1, -2, -3, which the system reports as 255, 254, 253).
#include <cstdio>
#include <string>

#include "platform/registry/registry.h"
#include "platform/ui/screen.h"
#include "utility/dialogs/maintain_app.h"

int main() {
    // A store that another account could have changed is not loaded, nor
    // written back (the configuration could not be read: -1).
    if (const std::string problem = varolan::reg::store_trust_problem(); !problem.empty()) {
        std::fprintf(stderr, "maintain: refusing the store: %s\n", problem.c_str());
        return -1;
    }
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
