// Human-readable listing of a program image, one fact per line.
//
// Every line starts with a stable label (header, manifest, dll, section, relocs, reloc,
// reloc1-group, reloc1, form, unit) so that people can read it and tests can grep it.
// Texts are shown as UTF-8 with control characters escaped; numbers that are offsets,
// ids or style words are hex, counts and pixel values decimal.
//
// Printing parses what the image model keeps as bytes (the form section, the @reloc1
// groups, the relocation kinds) and throws FormatError if that is malformed, possibly
// after part of the listing has been written.
#pragma once

#include "image/image_layout.h"

#include <ostream>
#include <string_view>

namespace qx {

void print_image(std::ostream& out, const Image& image, const ImageLayoutInfo& info);

// Only the named section: its header line and what it holds (relocations, mark groups,
// window units, or a hex dump of its data for any other section). Returns false when
// the image has no such section.
bool print_section(std::ostream& out, const Image& image, const ImageLayoutInfo& info, std::string_view name);

}  // namespace qx
