#include "platform/linux/tray/TrayIcon.h"

#include <fontconfig/fontconfig.h>
#include <malloc.h>
#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <memory>

#include "platform/linux/bars/LinuxStatusItem.h"

namespace platform::linux_backend {

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
void unrefObject(void* p) { g_object_unref(p); }
using Surface = std::unique_ptr<cairo_surface_t, Deleter<cairo_surface_t, cairo_surface_destroy>>;
using Cairo = std::unique_ptr<cairo_t, Deleter<cairo_t, cairo_destroy>>;
using Layout = std::unique_ptr<PangoLayout, Deleter<void, unrefObject>>;
using FontDescription = std::unique_ptr<PangoFontDescription,
                                        Deleter<PangoFontDescription, pango_font_description_free>>;

// The badge: near white, with a rim dark enough to show its edge on a light panel.
constexpr double kBadge[] = {0.97, 0.97, 0.97};
constexpr double kRim[] = {0.15, 0.15, 0.15, 0.85};

void roundedRectangle(cairo_t* cr, double x, double y, double w, double h, double r) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
  cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

Layout boldLayout(cairo_t* cr, const std::string& text, double pixels) {
  Layout layout(pango_cairo_create_layout(cr));
  FontDescription font(pango_font_description_from_string("Sans Bold"));
  pango_font_description_set_absolute_size(font.get(), pixels * PANGO_SCALE);
  pango_layout_set_font_description(layout.get(), font.get());
  pango_layout_set_text(layout.get(), text.data(), static_cast<int>(text.size()));
  return layout;
}

void drawFace(cairo_t* cr, const TrayIconFace& face, int size) {
  const double s = size;
  // Small icons use every pixel: at 16 or 22 a margin costs a third of a digit.
  const double margin = size < 24 ? 0.0 : std::round(s / 16);
  const double line = std::max(1.0, std::round(s / 22));
  const double side = s - 2 * margin;
  roundedRectangle(cr, margin + line / 2, margin + line / 2, side - line, side - line, s * 0.2);
  cairo_set_source_rgb(cr, kBadge[0], kBadge[1], kBadge[2]);
  cairo_fill_preserve(cr);
  cairo_set_source_rgba(cr, kRim[0], kRim[1], kRim[2], kRim[3]);
  cairo_set_line_width(cr, line);
  cairo_stroke_preserve(cr);
  // Whatever the count, the text stays on the badge.
  cairo_clip(cr);

  // Crisp grey edges: subpixel colour fringes would tint the red ramp.
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
  cairo_set_font_options(cr, options);
  cairo_font_options_destroy(options);

  // The ink is fitted, not the font size: "<1" and "59" must fill the badge alike, and a long
  // count of hours shrinks rather than spilling over the rim.
  const double room = side - 2 * line - std::max(1.0, std::round(s / 16));
  double pixels = s * 0.62;
  Layout layout = boldLayout(cr, face.text, pixels);
  PangoRectangle ink{};
  for (int attempt = 0; attempt < 4; ++attempt) {
    pango_layout_get_pixel_extents(layout.get(), &ink, nullptr);
    const double over = std::max(ink.width / room, ink.height / (s * 0.62));
    if (over <= 1.0 || ink.width <= 0) break;
    pixels = std::max(3.0, pixels / over * 0.98);
    layout = boldLayout(cr, face.text, pixels);
  }
  pango_layout_get_pixel_extents(layout.get(), &ink, nullptr);
  cairo_move_to(cr, std::round((s - ink.width) / 2 - ink.x),
                std::round((s - ink.height) / 2 - ink.y));
  cairo_set_source_rgba(cr, face.color.red, face.color.green, face.color.blue, 1.0);
  pango_cairo_show_layout(cr, layout.get());
}

// Cairo keeps premultiplied pixels in native-endian words; hosts want them straight, byte by
// byte A, R, G, B.
TrayPixmap toNetworkArgb(const TrayImage& image) {
  const int size = image.size;
  TrayPixmap pixmap{size, size,
                    std::vector<std::uint8_t>(static_cast<std::size_t>(size) * size * 4)};
  std::uint8_t* out = pixmap.argb.data();
  for (const std::uint32_t p : image.pixels) {
    const unsigned a = p >> 24;
    const auto straight = [a](unsigned c) -> std::uint8_t {
      return a == 0 ? 0 : static_cast<std::uint8_t>(std::min(255u, (c * 255 + a / 2) / a));
    };
    *out++ = static_cast<std::uint8_t>(a);
    *out++ = straight((p >> 16) & 0xff);
    *out++ = straight((p >> 8) & 0xff);
    *out++ = straight(p & 0xff);
  }
  return pixmap;
}

// The file of the font fontconfig gives for `pattern` under `config`; empty if none.
std::string fontFile(FcConfig* config, const char* pattern) {
  std::string file;
  FcPattern* wanted = FcNameParse(reinterpret_cast<const FcChar8*>(pattern));
  if (!wanted) return file;
  FcConfigSubstitute(config, wanted, FcMatchPattern);
  FcDefaultSubstitute(wanted);
  FcResult result = FcResultNoMatch;
  if (FcPattern* match = FcFontMatch(config, wanted, &result)) {
    FcChar8* path = nullptr;
    if (FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch) {
      file = reinterpret_cast<const char*>(path);
    }
    FcPatternDestroy(match);
  }
  FcPatternDestroy(wanted);
  return file;
}

// Where fontconfig itself looks when it has no setup to read, and where it keeps its caches.
constexpr const char* kFallbackSetup =
    "<fontconfig><dir>/usr/share/fonts</dir><dir>/usr/local/share/fonts</dir>"
    "<dir prefix=\"xdg\">fonts</dir><dir>~/.fonts</dir>"
    "<cachedir>/var/cache/fontconfig</cachedir><cachedir prefix=\"xdg\">fontconfig</cachedir>"
    "</fontconfig>";

// Why the setup at `file` cannot be used, or empty. Not well-formed XML: fontconfig would say so
// itself, but on a line of its own for each reading, and it is read more than once. Not a file
// or a directory (a FIFO, a device): reading it could wait for ever, at start-up.
std::string unusable(const char* file) {
  struct stat about {};
  if (stat(file, &about) != 0) return g_strerror(errno);
  if (S_ISDIR(about.st_mode)) return {};  // a directory of *.conf files
  if (!S_ISREG(about.st_mode)) return "not a file";
  // A setup is a few KiB; this much is no setup, and not worth reading at start-up.
  constexpr off_t kLargest = 1 << 20;
  if (about.st_size > kLargest) return "larger than 1 MiB";
  gchar* text = nullptr;
  gsize length = 0;
  GError* error = nullptr;
  std::string why;
  if (!g_file_get_contents(file, &text, &length, &error)) {
    why = error->message;
    g_error_free(error);
    return why;
  }
  static const GMarkupParser ignore = {};
  GMarkupParseContext* context =
      g_markup_parse_context_new(&ignore, GMarkupParseFlags(0), nullptr, nullptr);
  if (!g_markup_parse_context_parse(context, text, static_cast<gssize>(length), &error) ||
      !g_markup_parse_context_end_parse(context, &error)) {
    why = error->message;
    g_error_free(error);
  }
  g_markup_parse_context_free(context);
  g_free(text);
  return why;
}

std::string markupEscaped(const std::string& text) {
  char* escaped = g_markup_escape_text(text.c_str(), -1);
  std::string result = escaped;
  g_free(escaped);
  return result;
}

// The desktop's fontconfig setup keeps every font installed in memory, their caches mapped
// and walked to sort fallbacks: hundreds of KiB, several MiB on a desktop with thousands of
// fonts, for the whole life of the program, when all it draws is the bold sans of the icon
// and measures the regular sans of the blank label. So the two files are looked up once with
// that setup, which is then dropped, and fontconfig (for Pango and Cairo alike, the module's
// only users of it) keeps the desktop's rules, which tune hinting and the like per font, but
// knows only those two fonts. Made current before Pango's font map exists, so that Pango never
// loads a setup itself: a broken one would be read, and complained about, again.
const TrayFontChoice& useOnlyTheFontsDrawn() {
  static const TrayFontChoice choice = [] {
    TrayFontChoice chosen = chooseTrayFonts();
    std::string rules = "<fontconfig>";
    if (!chosen.rules.empty()) {
      rules += "<include ignore_missing=\"yes\">" + markupEscaped(chosen.rules) + "</include>";
    }
    rules += "<selectfont><acceptfont>";
    for (const std::string& file : chosen.files) {
      rules += "<glob>" + markupEscaped(file) + "</glob>";
    }
    rules += "</acceptfont><rejectfont><glob>*</glob></rejectfont></selectfont></fontconfig>";
    FcConfig* fonts = FcConfigCreate();
    bool usable = FcConfigParseAndLoadFromMemory(
                      fonts, reinterpret_cast<const FcChar8*>(rules.c_str()), FcTrue) != 0;
    for (const std::string& file : chosen.files) {
      if (usable) {
        usable = FcConfigAppFontAddFile(fonts, reinterpret_cast<const FcChar8*>(file.c_str()));
      }
    }
    if (!usable) {
      // A font file that went between the look-up and now: a badge without digits, rather
      // than a second reading of whatever the desktop's setup is.
      FcConfigDestroy(fonts);
      fonts = FcConfigCreate();
      if (chosen.problem.empty()) chosen.problem = "cannot load the fonts for the icon";
    }
    if (FcConfigSetCurrent(fonts)) {
      pango_fc_font_map_set_config(PANGO_FC_FONT_MAP(pango_cairo_font_map_get_default()), fonts);
    }
    FcConfigDestroy(fonts);
    // The setup just dropped leaves free pages in the middle of the heap.
    malloc_trim(0);
    return chosen;
  }();
  return choice;
}

PangoFontDescription* labelFont() {
  // Large, so that rounding to whole pixels hardly matters; widths scale with the size.
  static PangoFontDescription* font = pango_font_description_from_string("Sans 48px");
  return font;
}

}  // namespace

TrayFontChoice chooseTrayFonts() {
  TrayFontChoice choice;
  FcConfig* desktop = FcConfigCreate();
  // Asked of a setup of our own: given none, fontconfig would load its default one to answer,
  // broken or not. An empty FONTCONFIG_FILE is no name.
  const char* named = g_getenv("FONTCONFIG_FILE");
  if (named && !*named) named = nullptr;
  FcChar8* found = FcConfigGetFilename(
      desktop, named ? nullptr : reinterpret_cast<const FcChar8*>("fonts.conf"));
  if (!found) {
    choice.problem = named ? std::string("no fontconfig setup at FONTCONFIG_FILE=") + named
                           : std::string("no fontconfig setup (fonts.conf)");
  } else {
    const char* file = reinterpret_cast<const char*>(found);
    if (const std::string why = unusable(file); !why.empty()) {
      choice.problem = std::string("the fontconfig setup ") + file + " is broken (" + why + ")";
    } else if (!FcConfigParseAndLoad(desktop, found, FcFalse)) {
      choice.problem = std::string("cannot read the fontconfig setup ") + file;
    } else {
      choice.rules = file;
    }
    FcStrFree(found);
  }
  const auto lookUp = [&choice](FcConfig* config) {
    FcConfigBuildFonts(config);
    for (const char* pattern : {"sans-serif:bold", "sans-serif"}) {
      std::string file = fontFile(config, pattern);
      if (!file.empty() &&
          std::find(choice.files.begin(), choice.files.end(), file) == choice.files.end()) {
        choice.files.push_back(std::move(file));
      }
    }
  };
  if (choice.problem.empty()) {
    lookUp(desktop);
    if (choice.files.empty()) {
      // Its font directories empty, missing or unreadable: its rules are for other fonts.
      choice.problem = "the fontconfig setup " + choice.rules + " finds no fonts";
      choice.rules.clear();
    }
  }
  if (!choice.problem.empty()) {
    FcConfigDestroy(desktop);
    desktop = FcConfigCreate();
    FcConfigParseAndLoadFromMemory(desktop, reinterpret_cast<const FcChar8*>(kFallbackSetup),
                                   FcFalse);
    lookUp(desktop);
  }
  FcConfigDestroy(desktop);
  if (choice.files.empty()) {
    choice.problem += "; no fonts in fontconfig's default places either: the icon shows no digits";
  } else if (!choice.problem.empty()) {
    choice.problem += "; drawing with the fonts in fontconfig's default places";
  }
  return choice;
}

const std::string& trayFontProblem() { return useOnlyTheFontsDrawn().problem; }

std::string shortDuration(std::string_view label) {
  const auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  const auto first = std::find_if(label.begin(), label.end(), isDigit);
  if (first == label.end()) return std::string(label.substr(0, 3));
  const auto last = std::find_if_not(first, label.end(), isDigit);
  std::string digits(first, last);
  const auto firstAt = static_cast<std::size_t>(first - label.begin());
  if (label.find('<') < firstAt) return "<" + digits;
  if (label.substr(firstAt + digits.size()).find("hour") != std::string_view::npos) {
    return digits + "h";
  }
  return digits;
}

TrayIconFace trayIconFace(const AttributedString& title) {
  TrayIconFace face;
  face.transparent = drawnTransparent(title);
  if (title.runs().empty()) return face;
  // The duration label is the title's last run; the prefix before it has no style of its own.
  const auto& run = title.runs().back();
  face.text =
      shortDuration(std::string_view(title.string()).substr(run.range.location, run.range.length));
  if (run.attributes.foregroundColor && !face.transparent) {
    face.color = run.attributes.foregroundColor->rgba();
    face.color.alpha = 1.0;
  }
  if (face.transparent) face.text.clear();
  return face;
}

TrayImage renderTrayImage(const TrayIconFace& face, int size) {
  TrayImage image{size, std::vector<std::uint32_t>(static_cast<std::size_t>(size) * size)};
  if (face.transparent || face.text.empty() || size <= 0) return image;
  useOnlyTheFontsDrawn();
  const int stride = size * 4;
  // Cairo draws straight into the image's words: the stride of ARGB32 at any width is 4 x width.
  Surface surface(
      cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(image.pixels.data()),
                                          CAIRO_FORMAT_ARGB32, size, size, stride));
  {
    Cairo cr(cairo_create(surface.get()));
    drawFace(cr.get(), face, size);
  }
  cairo_surface_flush(surface.get());
  return image;
}

std::vector<TrayPixmap> renderTrayIcon(const TrayIconFace& face) {
  std::vector<TrayPixmap> pixmaps;
  for (int size : kTrayIconSizes) pixmaps.push_back(toNetworkArgb(renderTrayImage(face, size)));
  return pixmaps;
}

MenuImage renderMenu(const std::vector<std::string>& labels, int highlighted) {
  useOnlyTheFontsDrawn();
  constexpr double kFontPixels = 14;
  constexpr int kPadX = 14, kPadY = 5;
  MenuImage image;
  // Measured on a scratch surface first: the menu is as wide as its longest label.
  Surface scratch(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1));
  Cairo measure(cairo_create(scratch.get()));
  FontDescription font(pango_font_description_from_string("Sans"));
  pango_font_description_set_absolute_size(font.get(), kFontPixels * PANGO_SCALE);
  int textWidth = 0, textHeight = 0;
  for (const std::string& label : labels) {
    Layout layout(pango_cairo_create_layout(measure.get()));
    pango_layout_set_font_description(layout.get(), font.get());
    pango_layout_set_text(layout.get(), label.data(), static_cast<int>(label.size()));
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout.get(), &w, &h);
    textWidth = std::max(textWidth, w);
    textHeight = std::max(textHeight, h);
  }
  image.entryHeight = textHeight + 2 * kPadY;
  image.width = std::max(80, textWidth + 2 * kPadX);
  image.height = image.entryHeight * static_cast<int>(labels.size()) + 2;
  image.pixels.assign(static_cast<std::size_t>(image.width) * image.height, 0);
  Surface surface(cairo_image_surface_create_for_data(
      reinterpret_cast<unsigned char*>(image.pixels.data()), CAIRO_FORMAT_RGB24, image.width,
      image.height, image.width * 4));
  {
    Cairo cr(cairo_create(surface.get()));
    cairo_set_source_rgb(cr.get(), 0.55, 0.55, 0.55);  // the frame
    cairo_paint(cr.get());
    cairo_set_source_rgb(cr.get(), 0.97, 0.97, 0.97);
    cairo_rectangle(cr.get(), 1, 1, image.width - 2, image.height - 2);
    cairo_fill(cr.get());
    for (std::size_t i = 0; i < labels.size(); ++i) {
      const double top = 1 + static_cast<double>(i) * image.entryHeight;
      const bool lit = static_cast<int>(i) == highlighted;
      if (lit) {
        cairo_set_source_rgb(cr.get(), 0.21, 0.42, 0.75);
        cairo_rectangle(cr.get(), 1, top, image.width - 2, image.entryHeight);
        cairo_fill(cr.get());
      }
      Layout layout(pango_cairo_create_layout(cr.get()));
      pango_layout_set_font_description(layout.get(), font.get());
      pango_layout_set_text(layout.get(), labels[i].data(), static_cast<int>(labels[i].size()));
      cairo_move_to(cr.get(), kPadX, top + kPadY);
      if (lit) {
        cairo_set_source_rgb(cr.get(), 1, 1, 1);
      } else {
        cairo_set_source_rgb(cr.get(), 0.1, 0.1, 0.1);
      }
      pango_cairo_show_layout(cr.get(), layout.get());
    }
  }
  cairo_surface_flush(surface.get());
  return image;
}

double textWidth(std::string_view text) {
  useOnlyTheFontsDrawn();
  PangoFontMap* fontMap = pango_cairo_font_map_get_default();
  PangoContext* context = pango_font_map_create_context(fontMap);
  PangoLayout* layout = pango_layout_new(context);
  pango_layout_set_font_description(layout, labelFont());
  pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
  PangoRectangle logical{};
  pango_layout_get_extents(layout, nullptr, &logical);
  g_object_unref(layout);
  g_object_unref(context);
  return static_cast<double>(logical.width) / PANGO_SCALE;
}

std::string blankOfWidth(std::string_view text) {
  // Em, en, three-per-em, four-per-em, six-per-em and hair spaces: fonts give them fixed
  // fractions of an em, so a mix of them matches a width to within a hair.
  static const char* const kSpaces[] = {"\u2003", "\u2002", "\u2004", "\u2005", "\u2006", "\u200a"};
  struct Space {
    const char* utf8;
    double width;
  };
  static const std::vector<Space> spaces = [] {
    std::vector<Space> measured;
    for (const char* s : kSpaces) {
      if (const double w = textWidth(s); w > 0) measured.push_back({s, w});
    }
    std::sort(measured.begin(), measured.end(),
              [](const Space& a, const Space& b) { return a.width > b.width; });
    return measured;
  }();
  if (text.empty()) return {};
  double remaining = textWidth(text);
  std::string blank;
  for (const Space& space : spaces) {
    for (; remaining >= space.width; remaining -= space.width) blank += space.utf8;
  }
  if (!spaces.empty() && (blank.empty() || remaining > spaces.back().width / 2)) {
    blank += spaces.back().utf8;
  }
  return blank.empty() ? std::string(" ") : blank;
}

}  // namespace platform::linux_backend
