// tarnix: the gateway service program.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/core/limits.h"
#include "service/lifecycle/admin.h"
#include "service/lifecycle/lifecycle.h"

#if defined(VAROLAN_HAVE_PIPE_SESSION)
#include "service/pipe/pipe_session.h"
#endif
#if defined(VAROLAN_HAVE_PORT_SESSION)
#include "service/serial/port_session.h"
#endif

int main(int argc, char** argv) {
    void (*pipe_entry)() = nullptr;
    void (*port_entry)(const std::uint32_t*) = nullptr;
#if defined(VAROLAN_HAVE_PIPE_SESSION)
    pipe_entry = varolan::service::pipe_session;
#endif
#if defined(VAROLAN_HAVE_PORT_SESSION)
    port_entry = varolan::service::port_session;
#endif
    varolan::service::set_session_entries(pipe_entry, port_entry);
    varolan::raise_open_file_limit();

    const int status = varolan::service::tarnix_main(argc, argv);
    // Session threads are never told to end: the process ends them. Leaving
    // without running static destructors keeps them from seeing torn-down state.
    std::fflush(nullptr);
    std::_Exit(status);
}
