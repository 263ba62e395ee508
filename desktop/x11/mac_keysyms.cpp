#include "desktop/x11/mac_keysyms.h"

#include <xkbcommon/xkbcommon-keysyms.h>

#include <array>
#include <utility>

namespace lumenbrook {
namespace {

constexpr std::uint64_t shiftFlag = 0x20000;
constexpr std::uint64_t controlFlag = 0x40000;
constexpr std::uint64_t optionFlag = 0x80000;
constexpr std::uint64_t commandFlag = 0x100000;

// Mac virtual key code -> keysym, US ANSI layout.
constexpr std::pair<std::uint16_t, std::uint32_t> byCode[] = {
    {0, XKB_KEY_a},
    {1, XKB_KEY_s},
    {2, XKB_KEY_d},
    {3, XKB_KEY_f},
    {4, XKB_KEY_h},
    {5, XKB_KEY_g},
    {6, XKB_KEY_z},
    {7, XKB_KEY_x},
    {8, XKB_KEY_c},
    {9, XKB_KEY_v},
    {11, XKB_KEY_b},
    {12, XKB_KEY_q},
    {13, XKB_KEY_w},
    {14, XKB_KEY_e},
    {15, XKB_KEY_r},
    {16, XKB_KEY_y},
    {17, XKB_KEY_t},
    {18, XKB_KEY_1},
    {19, XKB_KEY_2},
    {20, XKB_KEY_3},
    {21, XKB_KEY_4},
    {22, XKB_KEY_6},
    {23, XKB_KEY_5},
    {24, XKB_KEY_equal},
    {25, XKB_KEY_9},
    {26, XKB_KEY_7},
    {27, XKB_KEY_minus},
    {28, XKB_KEY_8},
    {29, XKB_KEY_0},
    {30, XKB_KEY_bracketright},
    {31, XKB_KEY_o},
    {32, XKB_KEY_u},
    {33, XKB_KEY_bracketleft},
    {34, XKB_KEY_i},
    {35, XKB_KEY_p},
    {36, XKB_KEY_Return},
    {37, XKB_KEY_l},
    {38, XKB_KEY_j},
    {39, XKB_KEY_apostrophe},
    {40, XKB_KEY_k},
    {41, XKB_KEY_semicolon},
    {42, XKB_KEY_backslash},
    {43, XKB_KEY_comma},
    {44, XKB_KEY_slash},
    {45, XKB_KEY_n},
    {46, XKB_KEY_m},
    {47, XKB_KEY_period},
    {48, XKB_KEY_Tab},
    {49, XKB_KEY_space},
    {50, XKB_KEY_grave},
    {51, XKB_KEY_BackSpace},  // labelled "delete"
    {53, XKB_KEY_Escape},
    // The modifier keys themselves, Command as Control like the command flag.
    {54, XKB_KEY_Control_R},
    {55, XKB_KEY_Control_L},
    {56, XKB_KEY_Shift_L},
    {57, XKB_KEY_Caps_Lock},
    {58, XKB_KEY_Alt_L},
    {59, XKB_KEY_Control_L},
    {60, XKB_KEY_Shift_R},
    {61, XKB_KEY_Alt_R},
    {62, XKB_KEY_Control_R},
    {64, XKB_KEY_F17},
    // Keypad digits and point type the main-row keysyms: the X keypad keys give their digit
    // only while Num Lock is on, the Mac keypad always does.
    {65, XKB_KEY_period},
    {67, XKB_KEY_KP_Multiply},
    {69, XKB_KEY_KP_Add},
    {72, XKB_KEY_XF86AudioRaiseVolume},
    {73, XKB_KEY_XF86AudioLowerVolume},
    {74, XKB_KEY_XF86AudioMute},
    {75, XKB_KEY_KP_Divide},
    {76, XKB_KEY_KP_Enter},
    {78, XKB_KEY_KP_Subtract},
    {79, XKB_KEY_F18},
    {80, XKB_KEY_F19},
    {81, XKB_KEY_KP_Equal},
    {82, XKB_KEY_0},
    {83, XKB_KEY_1},
    {84, XKB_KEY_2},
    {85, XKB_KEY_3},
    {86, XKB_KEY_4},
    {87, XKB_KEY_5},
    {88, XKB_KEY_6},
    {89, XKB_KEY_7},
    {90, XKB_KEY_F20},
    {91, XKB_KEY_8},
    {92, XKB_KEY_9},
    {96, XKB_KEY_F5},
    {97, XKB_KEY_F6},
    {98, XKB_KEY_F7},
    {99, XKB_KEY_F3},
    {100, XKB_KEY_F8},
    {101, XKB_KEY_F9},
    {103, XKB_KEY_F11},
    {105, XKB_KEY_F13},
    {106, XKB_KEY_F16},
    {107, XKB_KEY_F14},
    {109, XKB_KEY_F10},
    {110, XKB_KEY_Menu},  // the PC keyboard's context menu key
    {111, XKB_KEY_F12},
    {113, XKB_KEY_F15},
    {114, XKB_KEY_Insert},  // "help" sits where PC keyboards have Insert, and Macs map it so
    {115, XKB_KEY_Home},
    {116, XKB_KEY_Prior},
    {117, XKB_KEY_Delete},  // forward delete
    {118, XKB_KEY_F4},
    {119, XKB_KEY_End},
    {120, XKB_KEY_F2},
    {121, XKB_KEY_Next},
    {122, XKB_KEY_F1},
    {123, XKB_KEY_Left},
    {124, XKB_KEY_Right},
    {125, XKB_KEY_Down},
    {126, XKB_KEY_Up},
};

constexpr std::size_t codeCount = 128;

constexpr std::array<std::uint32_t, codeCount> table = [] {
  std::array<std::uint32_t, codeCount> t{};  // 0 is NoSymbol
  for (const auto& [code, keysym] : byCode) t[code] = keysym;
  return t;
}();

}  // namespace

std::optional<std::uint32_t> MacKeysyms::keysym(std::uint16_t macCode) {
  if (macCode >= codeCount || table[macCode] == XKB_KEY_NoSymbol) return std::nullopt;
  return table[macCode];
}

std::vector<std::uint32_t> MacKeysyms::modifierKeysyms(std::uint64_t flags) {
  std::vector<std::uint32_t> out;
  if (flags & shiftFlag) out.push_back(XKB_KEY_Shift_L);
  if (flags & (controlFlag | commandFlag)) out.push_back(XKB_KEY_Control_L);
  if (flags & optionFlag) out.push_back(XKB_KEY_Alt_L);
  return out;
}

}  // namespace lumenbrook
