// maintain: the configuration utility of the Varolan gateway. The whole program
// is its application object; the process status is the run's exit code
// (0, or -1, -2, -3, which the system reports as 255, 254, 253, or 128 plus a
// signal that cut the run short). A failure is also told in one line on
// standard error once the terminal is given back.
#include <string>

#include "platform/registry/registry.h"
#include "platform/ui/screen.h"
#include "utility/dialogs/maintain_app.h"

int main() {
    // A store that another account could have changed is not loaded, nor
    // written back (the configuration could not be read: -1).
    if (const std::string problem = varolan::reg::store_trust_problem(); !problem.empty()) {
        varolan::util::PrintFailureLine({"refusing the store: " + problem, ""});
        return varolan::util::EXIT_LOAD_FAILED;
    }
    int code = 0;
    varolan::util::FailureReport failure;
    {
        // The terminal is given back before the program ends.
        varolan::ui::ScreenSession screen;
        varolan::util::CMaintainApp app;
        if (app.InitInstance()) {
            code = app.Run();
            failure = app.failure();
        }
    }
    if (code != 0) {
        varolan::util::PrintFailureLine(failure);
    }
    return code;
}
