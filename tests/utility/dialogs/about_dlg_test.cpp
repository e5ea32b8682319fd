// The About box: its texts from the machine figures and the icon picture.
#include "utility/dialogs/about_dlg.h"

#include "tests/utility/dialogs/dialog_fixture.h"

namespace varolan::util::test {
namespace {

class AboutDlg : public DialogTest {
  protected:
    CAboutDlg& Open() {
        dlg_ = std::make_unique<CAboutDlg>(&figures_);
        EXPECT_TRUE(driver_.Start(*dlg_));
        return *dlg_;
    }
    std::unique_ptr<CAboutDlg> dlg_;
};

TEST_F(AboutDlg, TitleVersionAndFigures) {
    figures_.memory = 32ull << 20;              // 32 MB
    figures_.free_bytes = (5ull << 30) + 4096;  // more than 4 GB
    Open();
    EXPECT_EQ(dlg_->GetWindowText(), "About Varolan");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_ABOUT_VERSION), "Varolan Version 1.3");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_ABOUT_MEMORY), "32768 KB");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_ABOUT_DISK), "5242884 KB Free");
    EXPECT_EQ(figures_.asked_path, "/var/lib/varolan");
    EXPECT_FALSE(dlg_->IsDlgItemEnabled(IDC_ABOUT_ICON));
}

TEST_F(AboutDlg, DiskSpaceUnavailable) {
    struct Case {
        bool directory_ok;
        const char* directory;
        bool free_ok;
    };
    const Case cases[] = {
        {true, "//server/share", true},  // a network path
        {false, "", true},               // no current directory
        {true, "/mnt/nfs", false},       // the query fails
    };
    for (const Case& c : cases) {
        figures_.directory_ok = c.directory_ok;
        figures_.directory = c.directory;
        figures_.free_ok = c.free_ok;
        Open();
        EXPECT_EQ(dlg_->GetDlgItemText(IDC_ABOUT_DISK), "Unavailable") << c.directory;
    }
}

TEST_F(AboutDlg, IconIsDrawnAtDoubleSizeInAFramedShadowedBox) {
    Open();
    CIconFrame* frame = dlg_->icon_frame();
    ASSERT_NE(frame, nullptr);
    const int w = CIconFrame::CellWidth();
    const int h = CIconFrame::CellHeight();
    EXPECT_EQ(w, 2 * ICON_CX + 3);
    EXPECT_EQ(h, 2 * ICON_CY + 3);
    EXPECT_EQ(frame->rect().cx, w * 4);
    EXPECT_EQ(frame->rect().cy, h * 8);

    const std::vector<std::string> cells = CIconFrame::Draw(application_icon());
    ASSERT_EQ(static_cast<int>(cells.size()), h);
    for (const std::string& row : cells) {
        ASSERT_EQ(static_cast<int>(row.size()), w);
    }
    // Frame corners, shadow strips offset by one cell, the corner left blank.
    EXPECT_EQ(cells[0][0], '+');
    EXPECT_EQ(cells[0][w - 2], '+');
    EXPECT_EQ(cells[h - 2][0], '+');
    EXPECT_EQ(cells[h - 2][w - 2], '+');
    EXPECT_EQ(cells[0][w - 1], ' ');
    EXPECT_EQ(cells[h - 1][0], ' ');
    for (int y = 1; y < h; ++y) {
        EXPECT_EQ(cells[y][w - 1], '#');
    }
    for (int x = 1; x < w; ++x) {
        EXPECT_EQ(cells[h - 1][x], '#');
    }
    // Every icon cell covers two by two cells inside the frame.
    const auto& icon = application_icon();
    for (int y = 0; y < ICON_CY; ++y) {
        for (int x = 0; x < ICON_CX; ++x) {
            const char c = icon[y][x];
            for (int dy = 0; dy < 2; ++dy) {
                for (int dx = 0; dx < 2; ++dx) {
                    EXPECT_EQ(cells[1 + 2 * y + dy][1 + 2 * x + dx], c) << x << "," << y;
                }
            }
        }
    }
    // The control shows that picture.
    std::string text;
    for (const auto& row : cells) {
        text += (text.empty() ? "" : "\n") + row;
    }
    EXPECT_EQ(frame->GetWindowText(), text);
    EXPECT_TRUE(CIconFrame::Draw({}).empty());
}

}  // namespace
}  // namespace varolan::util::test
