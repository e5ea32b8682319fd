// tarnix: the gateway service program.
#include <cstdio>
#include <cstdlib>

#include "platform/core/limits.h"
#include "service/lifecycle/admin.h"
#include "service/lifecycle/lifecycle.h"
#include "service/pipe/pipe_session.h"
#include "service/serial/port_session.h"

int main(int argc, char** argv) {
    varolan::service::set_session_entries(varolan::service::pipe_session,
                                          varolan::service::port_session);
    varolan::raise_open_file_limit();

    const int status = varolan::service::tarnix_main(argc, argv);
    // Session threads are never told to end: the process ends them. Leaving
    // without running static destructors keeps them from seeing torn-down state.
    std::fflush(nullptr);
    std::_Exit(status);
}
