// The wireless-WAN guard's halt messages in its four languages, English first so that every
// fallback of the HII database lands on English. The second line brings its own line break.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/string_packages.h"

constexpr STRING_REF WWAN_STRING_HALT_LINE_1 = 2;
constexpr STRING_REF WWAN_STRING_HALT_LINE_2 = 3;

inline constexpr StringPackRow WWAN_STRING_ROWS[] = {
    {{u"eng", u"English", u"105-Unsupported wireless broadband device detected.",
      u"\r\nSystem Halted. Remove device and restart."}},
    {{u"fra", u"Français",
      u"105-Détection d'un périphérique large bande sans fil non pris en charge.",
      u"\r\nSystème interrompu. Retirer le périphérique et redémarrer."}},
    {{u"spa", u"español",
      u"105-Se ha detectado un dispositivo inalámbrico de banda ancha no compatible.",
      u"\r\nEl sistema se ha detenido. Extraiga el dispositivo y reinicie el sistema."}},
    {{u"chn", u"\uFFF1中文", u"105-\uFFF1偵測到不支援的無線寛頻網路裝置\uFFF0(WWAN)",
      u"\r\n\uFFF1已停止系統\uFFF0. \uFFF1請移除此裝置並重新啟動"}},
};

inline constexpr auto gWwanStringPacks =
    BuildStringPackList<StringPackListSize(WWAN_STRING_ROWS)>(WWAN_STRING_ROWS);

#define WWAN_STRING_PACKAGE_GUID \
  { 0x602C46B4, 0x90B4, 0x4424, { 0x81, 0x83, 0x5D, 0x59, 0x39, 0xE4, 0x49, 0x4A } }
