// TrayIcon.h: the title as a tray can show it. Trays draw a small square icon, not text, so the
// icon carries the duration in a short form; the label beside it (where a host shows one) and
// the tooltip carry the whole title.
//
// The short form: "<1" under a minute, the minutes "1" to "59", then the hours "1h", "2h", ...
// It is drawn bold, in the duration's colour, on a light rounded badge with a dark rim: black
// text straight on a panel would vanish on the usual dark panel, and the badge reads on light
// and dark panels alike, for black and every red of the ramp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AttributedString.h"
#include "platform/Color.h"

namespace platform::linux_backend {

// One square of the icon, as StatusNotifierItem hosts read it: ARGB32, not premultiplied, each
// pixel four bytes A, R, G, B (network byte order), rows top to bottom.
struct TrayPixmap {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> argb;
};

// The sizes offered, so that each host picks one it can draw unscaled.
inline constexpr int kTrayIconSizes[] = {16, 22, 24, 32, 48};

// What the icon shows for `title`: the short form and its colour. Two titles with equal faces
// draw the same icon, so a new icon is sent only when the face changes.
struct TrayIconFace {
  std::string text;
  Rgba color{0, 0, 0, 1};
  bool transparent = false;
  bool operator==(const TrayIconFace&) const = default;
};

TrayIconFace trayIconFace(const AttributedString& title);

// The short form of a duration label ("12 minutes" gives "12").
std::string shortDuration(std::string_view label);

// One pixmap per size of kTrayIconSizes, drawn with PangoCairo; all zero when the face is
// transparent, so a hidden frame keeps the item's size and place.
std::vector<TrayPixmap> renderTrayIcon(const TrayIconFace& face);

// One square of the icon as Cairo and X keep it: premultiplied ARGB32 in native-endian words,
// rows top to bottom. The XEmbed tray draws it at whatever size the tray gives.
struct TrayImage {
  int size = 0;
  std::vector<std::uint32_t> pixels;
};

// The same drawing as renderTrayIcon, at one size of any number of pixels.
TrayImage renderTrayImage(const TrayIconFace& face, int size);

// The XEmbed item's popup menu, drawn in the same fonts: one row per label, the row
// `highlighted` (-1: none) in the selection's colours. RGB24 words (the top byte unused), rows
// top to bottom; the first row spans entryHeight pixels from the top.
struct MenuImage {
  int width = 0;
  int height = 0;
  int entryHeight = 0;
  std::vector<std::uint32_t> pixels;
};
MenuImage renderMenu(const std::vector<std::string>& labels, int highlighted);

// A run of space characters about as wide as `text` in the desktop's default sans-serif font:
// the label of a hidden frame, which keeps the panel from reflowing. Never empty for a
// non-empty text, since hosts drop an empty label altogether.
std::string blankOfWidth(std::string_view text);

// The width of `text` in pixels in that same font, for checking the blank.
double textWidth(std::string_view text);

// The fonts the icon is drawn with, looked up with the desktop's fontconfig setup (named by
// FONTCONFIG_FILE, else fonts.conf). A setup that is missing or not well-formed is replaced by
// fontconfig's default places; a setup that finds no font leaves the badge without digits.
struct TrayFontChoice {
  std::vector<std::string> files;  // the bold and the regular sans-serif, fewer if not found
  std::string rules;               // the setup whose rules are kept; empty if it is unusable
  std::string problem;             // what went wrong, for the user; empty if nothing did
};
// Looks, changing nothing: each call reads the setup afresh.
TrayFontChoice chooseTrayFonts();
// What went wrong with the fonts the icon is drawn with, chosen once per process (the first
// drawing chooses them too); empty if nothing did.
const std::string& trayFontProblem();

}  // namespace platform::linux_backend
