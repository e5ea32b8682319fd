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

TEST(StringTable, KeepsTheTextsAsUsersKnowThem) {
    EXPECT_EQ(load_string(IDS_STATE_NO_PARAMS), "Communication parameters not availiable.");
    EXPECT_EQ(load_string(IDS_ERR_UPDATE_PORT_INFO), "Error update the Varolan port information.");
    EXPECT_EQ(load_string(IDS_ERR_CREATE_REGISTRY),
              "Error create new Varolan registry for NT device:\n\"%s\".");
    EXPECT_EQ(load_string(IDS_ERR_ESCAPE_INVALID),
              "Escape Sequence is invalid.\nEscape Sequence must consist of a string\nof paired "
              "hexidecimal characters \"0-F\".");
    // Three messages end without a full stop.
    EXPECT_EQ(load_string(IDS_ERR_READ_REMOTE),
              "Error reading remote information from key:\n\"%s\"");
    EXPECT_EQ(load_string(IDS_ERR_READ_DEVICE_SETTINGS),
              "Error reading device settings for device:\n\"%s\"");
    EXPECT_EQ(load_string(IDS_ERR_UPDATE_COM_NAME),
              "Error updating COM name for NT device:\n\"%s\"");
    EXPECT_EQ(load_string(IDS_ABOUTBOX), "About Varolan...");
    EXPECT_EQ(load_string(IDS_ERR_GET_SETTING_FIRST + 6), "Error getting Escape Sequence.");
    EXPECT_EQ(load_string(IDS_ERR_SET_SETTING_FIRST + 10), "Error setting the device flags.");
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
    ASSERT_EQ(sink.shown.size(), 3u);
    EXPECT_EQ(sink.shown[0].title, "Varolan Maintenance");
    EXPECT_EQ(sink.shown[0].style, MB_OKCANCEL | MB_ICONEXCLAMATION);
    EXPECT_EQ(sink.shown[2].style, MB_OK | MB_ICONEXCLAMATION);
    EXPECT_EQ(sink.shown[2].text, "plain");
}

TEST(MessageSink, WithoutASinkQuestionsAreDeclined) {
    set_message_sink(nullptr);
    EXPECT_EQ(message_box("nobody reads this", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(message_box("nobody reads this either"), IDOK);
}

}  // namespace
}  // namespace varolan::util
