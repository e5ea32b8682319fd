// Any contents of a port key and of the product key: values of every name the
// two programs read, with any type and any length (up to 64 KiB), written by
// the fuzzer; then read back through the service's store operations (into
// buffers of exactly their documented size, so ASan sees every byte past
// them) and through the utility's record readers.
//
// Input: a sequence of records [name index][type][length: 2 bytes LE][data].
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "common/store_layout.h"
#include "common/store_ops.h"
#include "platform/registry/registry.h"
#include "tests/robustness/fuzz/fuzz_store.h"
#include "tools/varolan-reg/regtool.h"
#include "utility/portdb/port_record.h"
#include "utility/portdb/store_io.h"
#include "utility/strings/messages.h"

using namespace varolan;

namespace {

const char* const kNames[] = {
    layout::VALUE_NUMBER_OF_PORTS,
    layout::VALUE_PROMPT,
    layout::VALUE_ESCAPE_CHAR,
    layout::VALUE_TERMINAL_TYPE,
    layout::VALUE_DEBUG,
    layout::VALUE_TELNET_PORT,
    layout::VALUE_PORT_NAME,
    layout::VALUE_BAUD_RATE,
    layout::VALUE_DATA_BITS,
    layout::VALUE_STOP_BITS,
    layout::VALUE_PARITY,
    layout::VALUE_FLOW_CONTROL,
    layout::VALUE_XON_CHAR,
    layout::VALUE_XOFF_CHAR,
    layout::VALUE_DEVICE_FLAGS,
    layout::VALUE_CAP_BAUD_MASK,
    layout::VALUE_CAP_DATA_BIT_MASK,
    layout::VALUE_CAP_STOP_PARITY_MASK,
    layout::VALUE_CAP_SETTABLE_PARAMS,
    layout::VALUE_CAP_PROVIDERS_CAPABILITIES,
    layout::VALUE_AUTO_OPEN,
    layout::VALUE_AUTO_OPEN_COMPUTER_NAME,
    layout::VALUE_LOGIN_SCRIPT,
    layout::VALUE_LOGIN_SCRIPT_DELAY,
    layout::VALUE_MODEM_INIT,
    layout::VALUE_MODEM_DELAY,
};
constexpr std::size_t kNameCount = sizeof kNames / sizeof kNames[0];
const std::uint32_t kTypes[] = {reg::REG_NONE,    reg::REG_SZ,    reg::REG_EXPAND_SZ,
                                reg::REG_BINARY,  reg::REG_DWORD, reg::REG_MULTI_SZ,
                                0x0B /* QWORD */, 0xFFFFFFFF};

class CountingSink final : public util::MessageSink {
  public:
    int show_message(std::string_view, std::string_view, unsigned) override {
        ++shown;
        return util::IDOK;
    }
    int shown = 0;
};

const std::string& port_key_path() {
    static const std::string path = std::string(layout::PRODUCT_KEY) + "\\Serial0";
    return path;
}

void init_store() {
    fuzz::init_fuzz_store("store");
}

// strnlen on a buffer of exactly `size` bytes: the terminator must be inside.
void expect_terminated(const char* buffer, std::size_t size) {
    if (strnlen(buffer, size) >= size) {
        std::abort();
    }
}

void read_like_the_service(const char* key_path, const char* name) {
    std::uint32_t dword = 0;
    reg_read_dword(key_path, name, &dword);

    std::unique_ptr<char[]> text(new char[REG_STRING_SIZE]);
    const bool ok = reg_read_string(key_path, name, text.get());
    expect_terminated(text.get(), REG_STRING_SIZE);
    if (!ok && text[0] != '\0') {
        std::abort();  // a failed read leaves an empty string
    }

    std::unique_ptr<char[]> multi(new char[REG_STRING_SIZE]);
    std::uint32_t length = 0xFFFFFFFF;
    const bool multi_ok = reg_read_multi_string(key_path, name, multi.get(), &length);
    if (length > REG_STRING_SIZE || (!multi_ok && length != 0)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    init_store();
    static CountingSink sink;
    util::set_message_sink(&sink);

    // A fresh product key for every input.
    regtool::delete_tree(layout::PRODUCT_KEY, true);
    reg::Key product;
    reg::Key port;
    if (reg::create_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_ALL_ACCESS, product) !=
            ERROR_SUCCESS ||
        reg::create_key(reg::hklm(), port_key_path(), reg::KEY_ALL_ACCESS, port) != ERROR_SUCCESS) {
        std::abort();
    }

    std::size_t pos = 0;
    int records = 0;
    while (pos + 4 <= size && records < 32) {
        const std::size_t name = data[pos] % (kNameCount * 2);
        const std::uint32_t type = kTypes[data[pos + 1] % (sizeof kTypes / sizeof kTypes[0])];
        std::size_t length = data[pos + 2] | (static_cast<std::size_t>(data[pos + 3]) << 8);
        pos += 4;
        // A length byte pair of all ones asks for a full 64 KiB of filler.
        std::string bytes;
        if (length == 0xFFFF) {
            bytes.assign(65536, 'A');
        } else {
            length = length < size - pos ? length : size - pos;
            bytes.assign(reinterpret_cast<const char*>(data + pos), length);
            pos += length;
        }
        // Names of the first half go to the port key, of the second to the product key.
        const bool in_port = name < kNameCount;
        const char* value_name = kNames[name % kNameCount];
        reg::set_value(in_port ? port : product, value_name, type,
                       reinterpret_cast<const std::uint8_t*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
        read_like_the_service(in_port ? port_key_path().c_str() : layout::PRODUCT_KEY, value_name);
        ++records;
    }

    // The utility: each reader reports its failure with exactly one message.
    reg::Key key;
    if (reg::open_key(reg::hklm(), port_key_path(), util::KEY_READ_WRITE, key) != ERROR_SUCCESS) {
        std::abort();
    }
    sink.shown = 0;
    util::PortSettings settings;
    const bool settings_ok = settings.ReadSettings(key);
    if (sink.shown != (settings_ok ? 0 : 1)) {
        std::abort();
    }
    sink.shown = 0;
    util::PortCaps caps;
    const bool caps_ok = caps.ReadCaps(key);
    if (sink.shown != (caps_ok ? 0 : 1)) {
        std::abort();
    }
    if (settings.port_name.size() > util::STRING_READ_BUFFER ||
        settings.escape.size() > util::STRING_READ_BUFFER ||
        settings.port_name.find('\0') != std::string::npos ||
        settings.escape.find('\0') != std::string::npos) {
        std::abort();
    }
    // What the utility shows of a stored escape sequence.
    if (util::bytes_to_hex(settings.escape).size() > 2 * util::HEX_DISPLAY_LIMIT) {
        std::abort();
    }
    std::string text;
    util::read_string(product, layout::VALUE_PROMPT, text);
    util::read_string(product, layout::VALUE_ESCAPE_CHAR, text);
    util::read_string(product, layout::VALUE_TERMINAL_TYPE, text);
    return 0;
}
