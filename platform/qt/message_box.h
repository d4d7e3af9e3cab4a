#pragma once
// The application's one message box, with the Win32 flag and result codes the windows
// were written against: the flags pick buttons and icon, the result names the button.

#include <QString>
#include <functional>

namespace grafimo {

inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_OKCANCEL = 0x01;
inline constexpr unsigned MB_YESNOCANCEL = 0x03;
inline constexpr unsigned MB_YESNO = 0x04;
inline constexpr unsigned MB_ICONHAND = 0x10;
inline constexpr unsigned MB_ICONSTOP = 0x10;
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Shows a modal box over the active window and returns the button pressed. A Yes/No box
// closed without a button counts as No, an OK/Cancel or Yes/No/Cancel box as Cancel, an OK
// box as OK. Return takes Yes or OK.
// GUI thread only.
int Application_MessageBox(const QString& text, const QString& caption, unsigned flags);

// The same with `details` behind the box's "Показать подробности..." button, for a list too
// long for the box itself; a script is given the text and the details joined by a blank line.
int Application_MessageBox(const QString& text, const QString& caption, unsigned flags, const QString& details);

// Replaces the box by a function that answers instead of the user (for tests and
// unattended runs); an empty function restores the real box.
using MessageBoxScript = std::function<int(const QString& text, const QString& caption, unsigned flags)>;
void setMessageBoxScript(MessageBoxScript script);

} // namespace grafimo
