// Any text given to "varolan-reg import": the parser either refuses it with a
// "line N" message or yields operations; small imports are applied to a
// temporary store, and whatever the store then holds exports as text that the
// parser takes again and that imports to the same export.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/robustness/fuzz/fuzz_store.h"
#include "tools/varolan-reg/regtool.h"

using namespace varolan;

namespace {

void init_store() {
    fuzz::init_fuzz_store("regedit");
}

// Removes every key below HKEY_LOCAL_MACHINE but the volatile HARDWARE tree.
void clear_store() {
    std::vector<std::string> top;
    for (DWORD i = 0;; ++i) {
        std::string name;
        if (reg::enum_key(reg::hklm(), i, name, 0) != ERROR_SUCCESS) {
            break;
        }
        top.push_back(name);
    }
    for (const std::string& name : top) {
        if (name.size() == 8 && (name[0] == 'H' || name[0] == 'h')) {
            std::string folded;
            for (char c : name) {
                folded.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
            }
            if (folded == "HARDWARE") {
                continue;
            }
        }
        regtool::delete_tree(name, true);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    init_store();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<regtool::ImportOp> ops;
    std::string error;
    if (!regtool::parse_regedit4(text, ops, error)) {
        if (error.empty()) {
            std::abort();  // a refusal always says why
        }
        return 0;
    }
    // Applying touches the store file: keep it to small imports.
    if (ops.size() > 64) {
        return 0;
    }
    for (const auto& op : ops) {
        if (op.key.size() > 2048) {
            return 0;
        }
    }
    clear_store();
    if (!regtool::apply_import(ops, error)) {
        return 0;
    }
    std::string exported;
    if (regtool::export_key("", exported, error) != ERROR_SUCCESS) {
        return 0;  // some names have no text form; export says so
    }
    std::vector<regtool::ImportOp> again;
    if (!regtool::parse_regedit4(exported, again, error)) {
        std::abort();  // our own export must be readable
    }
    clear_store();
    if (!regtool::apply_import(again, error)) {
        std::abort();
    }
    std::string second;
    if (regtool::export_key("", second, error) != ERROR_SUCCESS || second != exported) {
        std::abort();  // export -> import -> export is stable
    }
    return 0;
}
