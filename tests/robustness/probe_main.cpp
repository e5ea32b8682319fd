// robust-probe: what an unprivileged user can do to a running gateway, run by
// the security tests under another user id (setpriv).
//   robust-probe control   STOP through the control endpoint; prints the result code
//   robust-probe query     a status query through the endpoint; prints the result code
//   robust-probe pipe      connects to the pipe; prints "prompt" when the prompt came
// The runtime directory comes from $VAROLAN_RUNTIME_DIR as for the service.
#include <cstdio>
#include <cstring>

#include "platform/scm/scm.h"
#include "tests/robustness/tarnix_harness.h"

int main(int argc, char** argv) {
    using namespace varolan;
    if (argc != 2) {
        return 2;
    }
    scm::SERVICE_STATUS status;
    if (std::strcmp(argv[1], "control") == 0) {
        std::printf("%lu\n", static_cast<unsigned long>(scm::control_endpoint(
                                 "Varolan", scm::SERVICE_CONTROL_STOP, &status)));
        return 0;
    }
    if (std::strcmp(argv[1], "query") == 0) {
        std::printf("%lu\n", static_cast<unsigned long>(scm::query_endpoint("Varolan", &status)));
        return 0;
    }
    if (std::strcmp(argv[1], "pipe") == 0) {
        robust::PipeUser user;
        if (!user.connect()) {
            std::printf("refused\n");
            return 0;
        }
        std::printf("%s\n", user.got("Telnet >", std::chrono::seconds(10)) ? "prompt" : "silent");
        user.type("q\r");
        user.wait_closed();
        return 0;
    }
    return 2;
}
