// The flash program's resources as C++ data, generated from the same sources as its resource
// file: the message texts of every language block and the main dialog's template. The simulated
// resource loader answers from these; on Windows the program's own resources hold the same.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "zim/resources/resource.h"

namespace zim {

// One text of the catalogue: its language block (LANGID), its string id and its UTF-8 bytes.
struct CatalogueText {
  std::uint16_t language;
  std::uint32_t id;
  std::string_view text;
};

// Every text, in the order of the catalogue: language blocks in ascending LANGID order, ids
// ascending within a block.
std::span<const CatalogueText> MessageCatalogue();

struct DialogItemResource {
  int id;
  std::string_view className;  // "Static", "Button"
  std::string_view text;
  std::uint32_t style;
  std::uint32_t exStyle;
  std::int16_t x, y, cx, cy;
};

struct DialogResource {
  int id;
  std::uint16_t language;
  std::uint32_t style;
  std::uint32_t exStyle;
  std::int16_t x, y, cx, cy;
  std::string_view caption;
  std::uint16_t fontPoints;
  std::string_view fontFace;
  std::span<const DialogItemResource> items;
};

// Dialog template 102, the main dialog.
const DialogResource& MainDialogTemplate();

}  // namespace zim
