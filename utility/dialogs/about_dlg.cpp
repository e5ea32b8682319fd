#include "utility/dialogs/about_dlg.h"

#include <algorithm>
#include <memory>

#include "utility/dialogs/resource.h"
#include "utility/strings/strings.h"

namespace varolan::util {

namespace {

// Formatted figures are at most this long.
constexpr std::size_t FIGURE_TEXT_LIMIT = 80;

// Replaces the first "%lu" of a string-table text with the number.
std::string format_unsigned(unsigned id, unsigned long value) {
    std::string text = load_string(id);
    const std::size_t at = text.find("%lu");
    if (at != std::string::npos) {
        text.replace(at, 3, std::to_string(value));
    }
    if (text.size() > FIGURE_TEXT_LIMIT) {
        text.resize(FIGURE_TEXT_LIMIT);
    }
    return text;
}

}  // namespace

const std::vector<std::string>& application_icon() {
    // A terminal with its line running off to the network, drawn in
    // blocks so that it keeps its shape at double size.
    static const std::vector<std::string> icon = {
        "======  ",
        "=::::=  ",
        "======-o",
        " ====   ",
    };
    return icon;
}

CIconFrame::CIconFrame(int id, int x, int y)
    : ui::StaticText(id, "", ui::Rect{x, y, CellWidth() * 4, CellHeight() * 8}, ui::SS_NOPREFIX) {
    std::string text;
    for (const std::string& line : Draw(application_icon())) {
        if (!text.empty()) {
            text += '\n';
        }
        text += line;
    }
    SetWindowText(text);
}

std::vector<std::string> CIconFrame::Stretch(const std::vector<std::string>& icon) {
    std::vector<std::string> out;
    for (const std::string& row : icon) {
        std::string wide;
        for (char c : row) {
            wide += c;
            wide += c;
        }
        out.push_back(wide);
        out.push_back(wide);
    }
    return out;
}

std::vector<std::string> CIconFrame::Draw(const std::vector<std::string>& icon) {
    if (icon.empty()) {
        return {};
    }
    const int w = CellWidth();
    const int h = CellHeight();
    std::vector<std::string> cells(static_cast<std::size_t>(h), std::string(w, ' '));
    // The frame: (0, 0) to (w - 2, h - 2).
    for (int x = 0; x <= w - 2; ++x) {
        cells[0][x] = '-';
        cells[h - 2][x] = '-';
    }
    for (int y = 0; y <= h - 2; ++y) {
        cells[y][0] = '|';
        cells[y][w - 2] = '|';
    }
    cells[0][0] = cells[0][w - 2] = cells[h - 2][0] = cells[h - 2][w - 2] = '+';
    // The shadow strips on the right and at the bottom, offset by one cell.
    for (int y = 1; y < h; ++y) {
        cells[y][w - 1] = '#';
    }
    for (int x = 1; x < w; ++x) {
        cells[h - 1][x] = '#';
    }
    // The icon at twice its size inside the frame; blanks let the
    // background show through.
    const std::vector<std::string> big = Stretch(icon);
    for (int y = 0; y < h - 3 && y < static_cast<int>(big.size()); ++y) {
        const std::string& row = big[y];
        for (int x = 0; x < w - 3 && x < static_cast<int>(row.size()); ++x) {
            if (row[x] != ' ') {
                cells[y + 1][x + 1] = row[x];
            }
        }
    }
    return cells;
}

std::string about_memory_text(std::uint64_t total_bytes) {
    return format_unsigned(IDS_ABOUT_MEMORY, static_cast<unsigned long>(total_bytes >> 10));
}

std::string about_disk_text(SystemFigures& figures) {
    std::string dir;
    std::uint64_t free_bytes = 0;
    // A directory named with two leading slashes is a network path, whose
    // free space is not this machine's.
    if (!figures.CurrentDirectory(dir) || dir.rfind("//", 0) == 0 ||
        !figures.FreeSpace(dir, free_bytes)) {
        return load_string(IDS_ABOUT_DISK_NONE);
    }
    return format_unsigned(IDS_ABOUT_DISK, static_cast<unsigned long>(free_bytes / 1024));
}

CAboutDlg::CAboutDlg(SystemFigures* figures)
    : ui::Dialog(about_template().caption, about_template().cx, about_template().cy),
      figures_(figures != nullptr ? *figures : machine_figures()) {
    const DialogTemplate& tmpl = about_template();
    for (const ControlTemplate& c : tmpl.controls) {
        if (c.id == IDC_ABOUT_ICON) {
            auto frame = std::make_unique<CIconFrame>(c.id, c.rect.x, c.rect.y);
            icon_ = frame.get();
            AddControl(std::move(frame));
            icon_->EnableWindow(false);
            break;
        }
    }
    CreateControls(*this, tmpl, IDC_ABOUT_ICON);
}

void CAboutDlg::DoDataExchange(ui::DataExchange& dx) {
    dx.Text(IDC_ABOUT_VERSION, version_text_);
}

bool CAboutDlg::OnInitDialog() {
    SetWindowText(load_string(IDS_ABOUT_TITLE));
    version_text_ = load_string(IDS_ABOUT_VERSION);
    UpdateData(false);

    std::uint64_t memory = 0;
    SetDlgItemText(IDC_ABOUT_MEMORY, figures_.TotalMemory(memory)
                                         ? about_memory_text(memory)
                                         : load_string(IDS_ABOUT_DISK_NONE));
    SetDlgItemText(IDC_ABOUT_DISK, about_disk_text(figures_));
    return true;
}

}  // namespace varolan::util
