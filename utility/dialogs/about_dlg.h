// The About box: product and version, the machine's total physical memory and
// the free space where the program runs, and the application icon drawn at
// double size in a framed, shadowed box.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui/dialog.h"
#include "utility/dialogs/app_services.h"

namespace varolan::util {

// The application icon: a small text-mode picture, ICON_CX columns by ICON_CY
// rows (the screen's icon size). Blanks are transparent.
inline constexpr int ICON_CX = 8;
inline constexpr int ICON_CY = 4;
const std::vector<std::string>& application_icon();

// Owner-drawn frame of the icon: shows the icon stretched to twice its size
// inside a black frame with a shadow on the right and at the bottom. It keeps
// no data of its own; its picture is drawn from the icon each time.
class CIconFrame : public ui::StaticText {
  public:
    CIconFrame(int id, int x, int y);

    // The control's size in character cells: the doubled icon, a one-cell
    // frame round it and a one-cell shadow.
    static int CellWidth() { return 2 * ICON_CX + 3; }
    static int CellHeight() { return 2 * ICON_CY + 3; }

    // The picture of the control, CellHeight() lines of CellWidth() cells:
    // '+', '-', '|' for the frame, '#' for the shadow, the doubled icon inside.
    // Empty when the icon is missing (the control stays unpainted).
    static std::vector<std::string> Draw(const std::vector<std::string>& icon);
    // The icon stretched to twice its width and height.
    static std::vector<std::string> Stretch(const std::vector<std::string>& icon);
};

// Formats the figures the box shows ("%lu KB", "%lu KB Free" / "Unavailable").
std::string about_memory_text(std::uint64_t total_bytes);
std::string about_disk_text(SystemFigures& figures);

class CAboutDlg : public ui::Dialog {
  public:
    explicit CAboutDlg(SystemFigures* figures = nullptr);

    CIconFrame* icon_frame() const { return icon_; }

  protected:
    bool OnInitDialog() override;
    void DoDataExchange(ui::DataExchange& dx) override;

  private:
    SystemFigures& figures_;
    CIconFrame* icon_ = nullptr;
    std::string version_text_;
};

}  // namespace varolan::util
