#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>

#include "common/store_layout.h"
#include "utility/strings/strings.h"

namespace varolan::util {

namespace {

struct Entry {
    unsigned id;
    const char* text;
};

// Sorted by number, each number once: load_string searches it by halving.
constexpr Entry STRING_TABLE[] = {
    // Baud rates by BAUD_* bit position.
    {3, "75"},
    {4, "110"},
    {5, "134.5"},
    {6, "150"},
    {7, "300"},
    {8, "600"},
    {9, "1200"},
    {10, "1800"},
    {11, "2400"},
    {12, "4800"},
    {13, "7200"},
    {14, "9600"},
    {15, "14400"},
    {16, "19200"},
    {17, "38400"},
    {18, "56000"},
    {19, "128000"},
    {20, "115200"},
    {21, "57600"},
    // Data bits.
    {22, "5"},
    {23, "6"},
    {24, "7"},
    {25, "8"},
    {26, "16"},
    // Stop bits.
    {27, "1"},
    {28, "1.5"},
    {29, "2"},
    // Parity.
    {30, "none"},
    {31, "odd"},
    {32, "even"},
    {33, "mark"},
    {34, "space"},
    // Flow control.
    {35, "none"},
    {36, "Xon/Xoff"},
    {37, "Dtr/Dsr"},
    {38, "Rts/Cts"},
    {39, "hardware"},
    // Character defaults.
    {40, "1D"},
    {41, "11"},
    {42, "13"},

    {143, "Varolan"},

    {200, "Varolan Maintenance"},
    {201, "About Varolan..."},
    {202, "error"},
    {203, "Communication parameters not availiable."},
    {204, "Device not set up for Varolan."},
    {205, "Varolan could not find the device."},
    {206, "Varolan could not access the device."},
    {207, "Varolan encountered a misc settings error."},
    {208, "Error reading Varolan port information."},
    {209, "Error update the Varolan port information."},
    {210, "Error encountered attempting to start Varolan."},
    {211, "About to remove %d ports from Varolan management.\nPress OK to confirm."},
    {212,
     "All changes to port configurations\nwill be reset to old values.\nPress OK to reset.\n"
     "Press Cancel to return."},
    {213, "Press OK to attempt to stop the Varolan Service."},
    {214, "Error attempting to stop Varolan."},

    {240, "About Varolan"},
    {241, "Varolan Version 1.3"},
    {242, "%lu KB"},
    {243, "%lu KB Free"},
    {244, "Unavailable"},

    {300, "Varolan Maintenance : Change Local Port Configuration"},
    {301, "Setting Varolan local port configuration for \"%s\"."},
    {302, "Port is connected to NT device \"%s\"."},
    {303, "Setting Varolan local port configurations for %d ports."},
    {304,
     "Escape Sequence is invalid.\nEscape Sequence must consist of a string\nof paired "
     "hexidecimal characters \"0-F\"."},
    {305,
     "Xon character code is invalid.\nXon character must be a two digit\nhexadecimal ASCII "
     "character code."},
    {306,
     "Xoff character code is invalid.\nXoff character must be a two digit\nhexadecimal ASCII "
     "character code."},
    {307, "Xon character code must contain two hexadecimal digits."},
    {308, "Xoff character code must contain two hexadecimal digits."},
    {309, "The Xon character cannot be the same\nas the Xoff character."},

    {320, "Varolan Maintenance : Change Remote Port Configuration"},
    {321, "You must enter an Escape Sequence."},

    {330, "Please enter no more than %1 characters."},

    {400, "Error opening device key:\n\"%s\"."},
    {401, "Error setting device information for device:\n\"%s\"."},
    {402, "Error creating new device key:\n\"%s\"."},
    {403, "Error writing capability information for device:\n\"%s\"."},
    {404, "Error writing local port information for device:\n\"%s\"."},
    {405, "Unable to obtain communications properties for:\n\"%s\"."},
    {406, "Error setting the baud capability."},
    {407, "Error setting the data bits capability."},
    {408, "Error setting the stop bits / parity mask."},
    {409, "Error setting the settable params capability."},
    {410, "Error setting the providers capability."},
    {411, "AutoOpen"},
    {412, "AutoOpen Computer Name"},
    {413, "Login Script"},
    {414, "Login Script Delay"},
    {415, "Modem Delay"},
    {416, "Modem Init"},
    {417, "Error getting the baud capability."},
    {418, "Error getting the data bits capability."},
    {419, "Error getting the stop bits / parity capability."},
    {420, "Error getting the settable params capability."},
    {421, "Error getting the providers capability."},
    {422, "Error setting com port name."},
    {423, "Error setting baud rate."},
    {424, "Error setting data bits."},
    {425, "Error setting stop bits."},
    {426, "Error setting parity."},
    {427, "Error setting flow control."},
    {428, "Error setting escape sequence."},
    {429, "Error setting terminal type."},
    {430, "Error setting Xon character."},
    {431, "Error setting Xoff character."},
    {432, "Error setting the device flags."},
    {433, "Error getting the com port name."},
    {434, "Error getting the baud rate."},
    {435, "Error getting data bits."},
    {436, "Error getting stop bits."},
    {437, "Error getting parity."},
    {438, "Error getting flow control."},
    {439, "Error getting Escape Sequence."},
    {440, "Error getting terminal type."},
    {441, "Error getting Xon character."},
    {442, "Error getting Xoff character."},
    {443, "Error getting device flags."},

    {450, "Error updating main Varolan registry."},
    {451, "Error finding the base Varolan registration."},
    {452, "Error reading remote information from key:\n\"%s\""},
    {453, "Error opening Varolan key for device:\n\"%s\"."},
    {454, "Error reading device capabilities for device:\n\"%s\"."},
    {455, "Error reading device settings for device:\n\"%s\""},
    {456, "Error reading local port information\nfor NT device \"%s\"."},
    {457, "Error updating COM name for NT device:\n\"%s\""},
    {458, "Error updating device capabilities for\nNT device:\n\"%s\"."},
    {459, "Error create new Varolan registry for NT device:\n\"%s\"."},
    {460, "Error deleting device key:\n\"%s\"."},
    {461, "Error opening base Varolan version key:\n\"%s\"."},
    {462, "Error updating remote port information."},
    {463, "Error updating local port information for device:\n\"%s\"."},
};

static_assert(std::adjacent_find(std::begin(STRING_TABLE), std::end(STRING_TABLE),
                                 [](const Entry& a, const Entry& b) { return a.id >= b.id; }) ==
                  std::end(STRING_TABLE),
              "the string table must be in ascending order of number");

// The in-memory encoding of a setting is one bit; its text index is the bit's
// position among the bits that have a text.
unsigned single_bit_index(std::uint32_t value, unsigned limit) {
    if (value == 0 || !std::has_single_bit(value)) {
        return limit;
    }
    return static_cast<unsigned>(std::countr_zero(value));
}

}  // namespace

std::string load_string(unsigned id) {
    const auto* end = std::end(STRING_TABLE);
    const auto* it = std::lower_bound(std::begin(STRING_TABLE), end, id,
                                      [](const Entry& e, unsigned key) { return e.id < key; });
    if (it == end || it->id != id) {
        return {};
    }
    return it->text;
}

std::string format_text(std::string_view text, std::string_view arg) {
    std::string out;
    out.reserve(text.size() + arg.size());
    bool replaced = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '%' || i + 1 >= text.size()) {
            out.push_back(c);
            continue;
        }
        const char next = text[i + 1];
        if (next == '%') {
            out.push_back('%');
            ++i;
        } else if (!replaced && (next == 's' || next == 'd' || next == '1')) {
            out.append(arg);
            replaced = true;
            ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string format_string(unsigned id, std::string_view arg) {
    return format_text(load_string(id), arg);
}

std::string format_string(unsigned id, long arg) {
    char number[32];
    std::snprintf(number, sizeof number, "%ld", arg);
    return format_text(load_string(id), number);
}

unsigned baud_text_id(std::uint32_t baud_bit) {
    const unsigned pos = single_bit_index(baud_bit, 32);
    if (pos > IDS_BAUD_LAST - IDS_BAUD_FIRST || IDS_BAUD_FIRST + pos == IDS_BAUD_134_5) {
        return 0;
    }
    return IDS_BAUD_FIRST + pos;
}

unsigned databits_text_id(std::uint32_t databits_bit) {
    const unsigned pos = single_bit_index(databits_bit & 0xFFFF, 32);
    return pos < 5 ? IDS_DATABITS_FIRST + pos : 0;
}

unsigned stopbits_text_id(std::uint32_t stop_parity) {
    const unsigned pos = single_bit_index(stop_parity & 0xFF, 32);
    return pos < 3 ? IDS_STOPBITS_FIRST + pos : 0;
}

unsigned parity_text_id(std::uint32_t stop_parity) {
    const unsigned pos = single_bit_index((stop_parity >> 8) & 0xFF, 32);
    return pos < 5 ? IDS_PARITY_FIRST + pos : 0;
}

unsigned flow_text_id(std::uint32_t flow_control) {
    return flow_control <= varolan::layout::FLOW_HARDWARE ? IDS_FLOW_FIRST + flow_control : 0;
}

}  // namespace varolan::util
