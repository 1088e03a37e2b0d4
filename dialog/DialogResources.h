// The ids of the selection dialog's resources (the template, its icon, the
// list's pictures and the texts), the same for the portable model and both
// window backends; the resources (resources/SelectCertificateDialog.rc,
// resources/string_table.inc, the pictures in resources/CMakeLists.txt) carry
// them under these numbers.
#pragma once
#include "foundation/Types.h"

namespace orvane::dialog {

inline constexpr UINT IDD_SELECT_CERTIFICATE = 101;
inline constexpr UINT IDI_DIALOG_ICON = 102;
inline constexpr UINT IDB_SYSTEM_CERTIFICATE = 105;
inline constexpr UINT IDB_KEY_CERTIFICATE = 106;
inline constexpr UINT IDB_CERTIFICATE_FRAME = 107;
inline constexpr UINT IDS_DISPLAY_TEXT = 203;
inline constexpr UINT IDS_ISSUER = 205;
inline constexpr UINT IDS_SERIAL_NUMBER = 206;
inline constexpr UINT IDS_VALID_DATE = 207;
inline constexpr UINT IDS_WINDOW_TITLE = 208;
inline constexpr UINT IDS_OK = 209;
inline constexpr UINT IDS_CANCEL = 210;

} // namespace orvane::dialog
