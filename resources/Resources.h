#pragma once

#include <QtGui/QIcon>

// Registers the compiled-in pictures, icons and cursors. Resources in a static
// library are dropped by the linker unless something calls this once.
void InitBrieflotseResources();

// Resource paths of the program's pictures. The hand cursor over links is
// Qt::PointingHandCursor and needs no file.
namespace BrieflotsePictures {
// 27 x 27 status pictures: no connection, connected and idle, action running.
inline constexpr char StatusOffline[] = ":/pictures/status_offline.png";
inline constexpr char StatusOnlineOff[] = ":/pictures/status_online_off.png";
inline constexpr char StatusOnlineOn[] = ":/pictures/status_online_on.png";
// 142 x 32 logo of the magazine edition.
inline constexpr char Kiosko[] = ":/pictures/kiosko.png";
// 32 x 32 program icon and its 64 x 64 variant for large window icons.
inline constexpr char MainIcon[] = ":/icons/mainicon.png";
inline constexpr char MainIcon64[] = ":/icons/mainicon64.png";
// 32 x 32 icon of the mail-server finder.
inline constexpr char PicDns[] = ":/icons/pic_dns.png";
} // namespace BrieflotsePictures

// The program icon with both sizes, for the window and the taskbar.
QIcon BrieflotseMainIcon();
