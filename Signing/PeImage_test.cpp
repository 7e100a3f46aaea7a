#include "Signing/PeImage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/pe_builder.h"

namespace signing {
namespace {

using pe_builder::PutUint16;
using pe_builder::PutUint32;

// Reads from bytes; a read past limit fails and is counted.
struct LimitedFile {
  std::string bytes;
  uint64_t limit;
  mutable int past_limit = 0;

  ReadAtFunction Reader() const {
    return [this](uint64_t offset, void* buffer, size_t count) {
      if (offset > limit || count > limit - offset) {
        ++past_limit;
        return false;
      }
      std::memcpy(buffer, bytes.data() + offset, count);
      return true;
    };
  }
};

PeShape ShapeOf(const std::string& bytes, uint64_t limit, PeHeaders* headers) {
  LimitedFile file{bytes, limit};
  PeShape shape = PeShape::kImage;
  EXPECT_TRUE(ReadPeHeaders(limit, file.Reader(), headers, &shape));
  EXPECT_EQ(file.past_limit, 0);
  return shape;
}

PeShape ShapeOf(const std::string& bytes) {
  PeHeaders headers;
  return ShapeOf(bytes, bytes.size(), &headers);
}

TEST(PeImageTest, FieldOffsetsOfBothFormats) {
  PeHeaders headers;
  const std::string plus = pe_builder::Build({});
  ASSERT_EQ(ShapeOf(plus, plus.size(), &headers), PeShape::kImage);
  EXPECT_EQ(headers.format, PeFormat::kPe32Plus);
  EXPECT_EQ(headers.checksum_offset, 216u);
  EXPECT_EQ(headers.certificate_entry_offset, 296u);
  EXPECT_EQ(headers.section_table_offset, 392u);
  EXPECT_EQ(headers.section_count, 2u);
  EXPECT_FALSE(headers.HasCertificateTable());

  std::string pe32 = pe_builder::Build({false});
  pe_builder::SetCertificateEntry(&pe32, 0x12345678, 0x9abc);
  ASSERT_EQ(ShapeOf(pe32, pe32.size(), &headers), PeShape::kImage);
  EXPECT_EQ(headers.format, PeFormat::kPe32);
  EXPECT_EQ(headers.checksum_offset, 216u);
  EXPECT_EQ(headers.certificate_entry_offset, 280u);
  EXPECT_EQ(headers.certificate_offset, 0x12345678u);
  EXPECT_EQ(headers.certificate_size, 0x9abcu);
}

TEST(PeImageTest, WhatIsNoImageAndWhy) {
  const std::string image = pe_builder::Build({});
  const auto changed = [&image](uint64_t offset, uint32_t value, int width) {
    std::string bytes = image;
    width == 2 ? PutUint16(&bytes, offset, static_cast<uint16_t>(value))
               : PutUint32(&bytes, offset, value);
    return bytes;
  };
  const uint64_t pe = pe_builder::PeOffset(image);
  const uint64_t optional = pe + 24;
  const std::vector<std::pair<std::string, PeShape>> cases = {
      {"", PeShape::kNoDosHeader},
      {image.substr(0, 63), PeShape::kNoDosHeader},
      {"ZM" + image.substr(2), PeShape::kNoDosHeader},
      {changed(0x3c, 0xfffffff0, 4), PeShape::kNoPeHeader},
      {changed(0x3c, 0x84, 4), PeShape::kNoPeHeader},
      {image.substr(0, pe + 25), PeShape::kNoPeHeader},
      {image.substr(0, optional + 239), PeShape::kNoPeHeader},
      {changed(optional, 0x107, 2), PeShape::kUnknownOptionalHeader},
      {changed(pe + 20, 151, 2), PeShape::kNoCertificateEntry},
      {changed(optional + 108, 4, 4), PeShape::kNoCertificateEntry},
      {changed(optional + 36, 0, 4), PeShape::kBadFileAlignment},
      {changed(optional + 36, 0x300, 4), PeShape::kBadFileAlignment},
      {changed(optional + 36, 0x20000, 4), PeShape::kBadFileAlignment},
      {changed(pe + 20, 152, 2), PeShape::kImage},
      {changed(optional + 108, 5, 4), PeShape::kImage},
      {changed(optional + 36, 1, 4), PeShape::kImage},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(ShapeOf(cases[i].first), cases[i].second) << "case " << i;
  }
  // Only the first limit bytes count, however long the file is.
  PeHeaders headers;
  EXPECT_EQ(ShapeOf(image, optional + 151, &headers), PeShape::kNoPeHeader);
}

TEST(PeImageTest, ExtentCoversHeadersAndSectionsAsTheLoaderReadsThem) {
  std::string image = pe_builder::Build({true, 3});
  const uint64_t table = pe_builder::SectionTableOffset(image);
  const auto extent = [](const std::string& bytes, uint64_t limit, uint32_t* section) {
    PeHeaders headers;
    EXPECT_EQ(ShapeOf(bytes, bytes.size(), &headers), PeShape::kImage);
    LimitedFile file{bytes, limit};
    PeExtent found = PeExtent::kWithin;
    EXPECT_TRUE(FindPeExtent(headers, limit, file.Reader(), &found, section));
    EXPECT_EQ(file.past_limit, 0);
    return found;
  };
  uint32_t section = 99;
  EXPECT_EQ(extent(image, image.size(), &section), PeExtent::kWithin);
  EXPECT_EQ(extent(image, image.size() - 1, &section), PeExtent::kSectionPast);
  EXPECT_EQ(section, 2u);
  EXPECT_EQ(extent(image, table + 119, &section), PeExtent::kSectionTablePast);
  std::string headers = image;
  PutUint32(&headers, pe_builder::PeOffset(image) + 24 + 60, 0x201);
  EXPECT_EQ(extent(headers, 0x3ff, &section), PeExtent::kHeaderAreaPast);
  EXPECT_EQ(extent(headers, 0x400, &section), PeExtent::kSectionPast);

  // A raw size is rounded up to FileAlignment; an empty section reads nothing.
  std::string rounded = image;
  PutUint32(&rounded, table + 80 + 16, 0x201);
  EXPECT_EQ(extent(rounded, rounded.size(), &section), PeExtent::kSectionPast);
  EXPECT_EQ(section, 2u);
  std::string empty = image;
  PutUint32(&empty, table + 40 + 16, 0);
  PutUint32(&empty, table + 40 + 20, 0xffffffff);
  EXPECT_EQ(extent(empty, empty.size(), &section), PeExtent::kWithin);

  // Forged counts and sizes are arithmetic on 32-bit values: nothing wraps.
  std::string forged = image;
  PutUint32(&forged, table + 20, 0xffffffff);
  PutUint32(&forged, table + 16, 0xffffffff);
  EXPECT_EQ(extent(forged, forged.size(), &section), PeExtent::kSectionPast);
  EXPECT_EQ(section, 0u);
  PutUint16(&forged, pe_builder::PeOffset(image) + 6, 0xffff);
  EXPECT_EQ(extent(forged, forged.size(), &section), PeExtent::kSectionTablePast);
  PutUint16(&forged, pe_builder::PeOffset(image) + 6, 3);
  PutUint32(&forged, pe_builder::PeOffset(image) + 24 + 60, 0xffffffff);
  EXPECT_EQ(extent(forged, forged.size(), &section), PeExtent::kHeaderAreaPast);
}

}  // namespace
}  // namespace signing
