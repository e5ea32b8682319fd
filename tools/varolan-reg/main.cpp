// varolan-reg: see and change the configuration store from the shell.

#include <cstdio>
#include <string>
#include <vector>

#include "tools/varolan-reg/regtool.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string out;
    std::string err;
    int status = varolan::regtool::run(args, out, err);
    if (!out.empty()) {
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    if (std::fflush(stdout) != 0 && status == 0) {
        std::fputs("varolan-reg: cannot write the output\n", stderr);
        status = 1;
    }
    if (!err.empty()) {
        std::fwrite(err.data(), 1, err.size(), stderr);
    }
    return status;
}
