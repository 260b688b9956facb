// The wireless-LAN guard's halt messages in its four languages, English first so that every
// fallback of the HII database lands on English. The halt screen places each line itself.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/string_packages.h"

constexpr STRING_REF WLAN_STRING_HALT_LINE_1 = 2;
constexpr STRING_REF WLAN_STRING_HALT_LINE_2 = 3;

inline constexpr StringPackRow WLAN_STRING_ROWS[] = {
    {{u"eng", u"English", u"104-Unsupported wireless network device detected.",
      u"System Halted. Remove device and restart."}},
    {{u"fra", u"Français",
      u"104-Détection d'un périphérique réseau sans fil non pris en charge.",
      u"Système interrompu. Retirer le périphérique et redémarrer."}},
    {{u"spa", u"español",
      u"104-Se ha detectado un dispositivo de red inalámbrica no compatible.",
      u"El sistema se ha detenido. Extraiga el dispositivo y reinicie el sistema."}},
    {{u"chn", u"\uFFF1中文", u"104-\uFFF1偵測到不支援的無線網路裝置\uFFF0(WLAN)",
      u"\uFFF1已停止系統. 請移除此裝置並重新啟動\uFFF0"}},
};

inline constexpr auto gWlanStringPacks =
    BuildStringPackList<StringPackListSize(WLAN_STRING_ROWS)>(WLAN_STRING_ROWS);

#define WLAN_STRING_PACKAGE_GUID \
  { 0x3B8577BA, 0x0032, 0x42BC, { 0xCC, 0xAA, 0x53, 0x15, 0x4F, 0x43, 0x99, 0xF2 } }
