// The help topics of the dialogs (the texts of docs/help, built into the program).
#pragma once

#include <string>

namespace varolan::util {

struct HelpTopic {
    const char* title;
    const char* text;
};

HelpTopic help_main_dialog();
HelpTopic help_local_port_dialog();
HelpTopic help_remote_port_dialog();

}  // namespace varolan::util
