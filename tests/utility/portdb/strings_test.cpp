#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/support/utility_messages.h"
#include "utility/strings/messages.h"
#include "utility/strings/strings.h"

namespace varolan::util {
namespace {

TEST(StringTable, ValueTextsAreNumberedInOrder) {
    const char* expected[] = {
        "75",     "110",      "134.5",   "150",     "300",     "600",   "1200",  "1800",
        "2400",   "4800",     "7200",    "9600",    "14400",   "19200", "38400", "56000",
        "128000", "115200",   "57600",   "5",       "6",       "7",     "8",     "16",
        "1",      "1.5",      "2",       "none",    "odd",     "even",  "mark",  "space",
        "none",   "Xon/Xoff", "Dtr/Dsr", "Rts/Cts", "hardware"};
    unsigned id = 3;
    for (const char* text : expected) {
        EXPECT_EQ(load_string(id), text) << "entry " << id;
        ++id;
    }
    EXPECT_EQ(id, 40u);
    EXPECT_EQ(load_string(IDS_BAUD_134_5), "134.5");
    EXPECT_EQ(load_string(143), "Varolan");
    EXPECT_EQ(load_string(0), "");
    EXPECT_EQ(load_string(999), "");
}

// Every entry of the table with its exact bytes, written out here rather than
// taken from the table, so that a changed letter, blank or line break fails.
// The spelling mistakes ("availiable", "hexidecimal", "Error update the ...",
// "Error create new ...") and the three messages without a final full stop
// (452, 455, 457) are the texts users know.
TEST(StringTable, EveryEntryHasItsExactText) {
    struct Entry {
        unsigned id;
        const char* text;
    };
    const Entry expected[] = {
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
        {22, "5"},
        {23, "6"},
        {24, "7"},
        {25, "8"},
        {26, "16"},
        {27, "1"},
        {28, "1.5"},
        {29, "2"},
        {30, "none"},
        {31, "odd"},
        {32, "even"},
        {33, "mark"},
        {34, "space"},
        {35, "none"},
        {36, "Xon/Xoff"},
        {37, "Dtr/Dsr"},
        {38, "Rts/Cts"},
        {39, "hardware"},
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
         "All changes to port configurations\nwill be reset to old values.\n"
         "Press OK to reset.\nPress Cancel to return."},
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
         "Escape Sequence is invalid.\nEscape Sequence must consist of a string\n"
         "of paired hexidecimal characters \"0-F\"."},
        {305,
         "Xon character code is invalid.\nXon character must be a two digit\n"
         "hexadecimal ASCII character code."},
        {306,
         "Xoff character code is invalid.\nXoff character must be a two digit\n"
         "hexadecimal ASCII character code."},
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
    std::set<unsigned> listed;
    for (const Entry& e : expected) {
        EXPECT_EQ(load_string(e.id), e.text) << "entry " << e.id;
        listed.insert(e.id);
    }
    // And the table holds nothing else.
    for (unsigned id = 0; id < 1000; ++id) {
        if (listed.count(id) == 0) {
            EXPECT_EQ(load_string(id), "") << "unexpected entry " << id;
        }
    }
}

TEST(StringTable, EveryMessageHasOneEntry) {
    // No two message entries share a text (the two "none" value texts apart),
    // so a recorded message names its step unambiguously.
    std::set<std::string> seen;
    for (unsigned id = 40; id < 1000; ++id) {
        const std::string text = load_string(id);
        if (!text.empty() && id != IDS_APP_TITLE) {
            EXPECT_TRUE(seen.insert(text).second) << "entry " << id << " repeats " << text;
        }
    }
    EXPECT_GT(seen.size(), 90u);
}

TEST(StringTable, FormatsTheOneConversion) {
    EXPECT_EQ(format_string(IDS_ERR_OPEN_PORT_KEY, "ttyS0"),
              "Error opening Varolan key for device:\n\"ttyS0\".");
    EXPECT_EQ(format_string(IDS_CONFIRM_REMOVE, 2L),
              "About to remove 2 ports from Varolan management.\nPress OK to confirm.");
    EXPECT_EQ(format_string(IDS_FRAMEWORK_MAX_CHARS, 2L),
              "Please enter no more than 2 characters.");
    // The argument is taken literally, percent signs included.
    EXPECT_EQ(format_text("a %s b %s", "%d%s"), "a %d%s b %s");
    EXPECT_EQ(format_text("100%% %s", "x"), "100% x");
}

TEST(StringTable, ValueTextIdsFollowTheInMemoryBits) {
    EXPECT_EQ(load_string(baud_text_id(0x00000800)), "9600");
    EXPECT_EQ(load_string(baud_text_id(0x00040000)), "57600");
    EXPECT_EQ(baud_text_id(0x00000004), 0u);  // 134.5 is never offered
    EXPECT_EQ(baud_text_id(0x10000000), 0u);
    EXPECT_EQ(baud_text_id(0), 0u);
    EXPECT_EQ(baud_text_id(0x00000801), 0u);
    EXPECT_EQ(load_string(databits_text_id(0x0010)), "16");
    EXPECT_EQ(databits_text_id(0x0020), 0u);
    EXPECT_EQ(load_string(stopbits_text_id(0x0402)), "1.5");
    EXPECT_EQ(load_string(parity_text_id(0x0402)), "even");
    EXPECT_EQ(parity_text_id(0x0002), 0u);
    EXPECT_EQ(load_string(flow_text_id(4)), "hardware");
    EXPECT_EQ(flow_text_id(5), 0u);
}

TEST(MessageSink, EveryBoxCarriesTheTitleAndIcon) {
    test::RecordingMessageSink sink;
    sink.answers = {IDCANCEL, IDOK};
    EXPECT_EQ(message_box_id(IDS_CONFIRM_STOP, MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(message_box_id(IDS_CONFIRM_STOP, MB_OKCANCEL), IDOK);
    EXPECT_EQ(message_box("plain"), IDOK);
    EXPECT_EQ(message_box_fmt(IDS_ERR_OPEN_PORT_KEY, "ttyS0"), IDOK);
    ASSERT_EQ(sink.shown.size(), 4u);
    EXPECT_EQ(sink.shown[0].title, "Varolan Maintenance");
    EXPECT_EQ(sink.shown[0].style, MB_OKCANCEL | MB_ICONEXCLAMATION);
    EXPECT_EQ(sink.shown[2].style, MB_OK | MB_ICONEXCLAMATION);
    EXPECT_EQ(sink.shown[2].text, "plain");
    EXPECT_EQ(sink.shown[3].text, "Error opening Varolan key for device:\n\"ttyS0\".");
    EXPECT_EQ(sink.shown[3].style, MB_OK | MB_ICONEXCLAMATION);
}

TEST(MessageSink, WithoutASinkQuestionsAreDeclined) {
    set_message_sink(nullptr);
    EXPECT_EQ(message_box("nobody reads this", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(message_box("nobody reads this either"), IDOK);
}

}  // namespace
}  // namespace varolan::util
