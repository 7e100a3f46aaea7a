#include "tools/sign_explain.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

using signing::Examination;
using signing::Finding;
using signing::PeExtent;
using signing::PeShape;

std::string Bytes(uint64_t count, const std::string& what = "bytes") {
  return std::to_string(count) + " " + what;
}

std::string At(const signing::FilePart& part, const std::string& what = "bytes") {
  return Bytes(part.size, what) + " at " + std::to_string(part.offset);
}

std::string NotAnImage(PeShape shape) {
  switch (shape) {
    case PeShape::kImage:
      break;
    case PeShape::kNoDosHeader:
      return "no DOS header";
    case PeShape::kNoPeHeader:
      return "no PE header where the DOS header points";
    case PeShape::kUnknownOptionalHeader:
      return "the optional header is neither PE32 nor PE32+";
    case PeShape::kNoCertificateEntry:
      return "the optional header has no Certificate Table entry";
    case PeShape::kBadFileAlignment:
      return "FileAlignment is not a power of two up to 65536";
  }
  return "";
}

std::string FormatLine(const Examination& e) {
  if (e.shape != PeShape::kImage) {
    return "not a PE image (" + NotAnImage(e.shape) + "): the block must end the file";
  }
  const signing::PeHeaders& h = e.headers;
  std::string line = h.format == signing::PeFormat::kPe32Plus ? "PE32+" : "PE32";
  line += " image: CheckSum at " + std::to_string(h.checksum_offset) +
          ", Certificate Table entry at " + std::to_string(h.certificate_entry_offset) + ": ";
  if (!h.HasCertificateTable()) return line + "not set";
  return line + Bytes(h.certificate_size) + " at " + std::to_string(h.certificate_offset);
}

std::string ContentLine(const Examination& e) {
  std::string line = "signed content: " + At(e.content);
  if (e.shape != PeShape::kImage) return line;
  if (e.content_shape != PeShape::kImage)
    return line + ", not a whole PE image: its headers run past it";
  switch (e.content_extent) {
    case PeExtent::kWithin:
      return line + ", a whole PE image";
    case PeExtent::kSectionTablePast:
      return line + ", not a whole PE image: its section table runs past it";
    case PeExtent::kHeaderAreaPast:
      return line + ", not a whole PE image: its header area runs past it";
    case PeExtent::kSectionPast:
      return line + ", not a whole PE image: section " + std::to_string(e.content_section) +
             " runs past it";
  }
  return line;
}

std::string TableLine(const Examination& e) {
  const signing::FilePart& table = e.certificate_table;
  const uint64_t end = table.offset + table.size;
  std::string line = "certificate table: " + At(table) + ", ";
  if (end == e.file_size) return line + "to the end of the file";
  if (end < e.file_size)
    return line + "ends " + Bytes(e.file_size - end) + " before the end of the file";
  return line + "runs " + Bytes(end - e.file_size) + " past the end of the file";
}

std::string DigestLine(const Examination& e) {
  std::string line = "digest: SHA-512 of the signed content ";
  line += e.rule == signing::DigestRule::kPeFieldsAsZero
              ? "with CheckSum and Certificate Table entry read as zero"
              : "as it stands";
  return line + (e.finding == Finding::kValid ? ": matches the block" : ": differs from the block");
}

std::string VerdictName(signing::Verdict verdict) {
  switch (verdict) {
    case signing::kNotSigned:
      return "not signed";
    case signing::kContentChanged:
      return "signed but changed since";
    case signing::kValidKey0:
      return "valid with key 0";
    case signing::kValidKey1:
      return "valid with key 1";
  }
  return "";
}

std::string Reason(const Examination& e) {
  const std::string key = std::to_string(e.decoded.key_index);
  switch (e.finding) {
    case Finding::kValid:
      return "the block is authentic and the signed content is unchanged";
    case Finding::kContentChanged:
      return "the block is authentic, but the signed content changed since it was signed";
    case Finding::kUnknownKeyIndex:
      return "the block names key index " + key + ", and there are only keys 0 and 1";
    case Finding::kNotAuthentic:
      return "the block was not signed with key " + key;
    case Finding::kNoBlock:
      return e.shape == PeShape::kImage
                 ? "no signature block ends the file or its zero padding to 8 bytes"
                 : "no signature block ends the file";
    case Finding::kBlockAfterCertificateTable:
      return "the signature block follows the certificate table, so the file was signed with "
             "Authenticode first; remove the Authenticode signature, sign with taverly-sign, "
             "then with Authenticode";
    case Finding::kCertificateTablePastEnd:
      return "the Certificate Table entry points past the end of the file";
    case Finding::kCertificateTableBeforeEnd:
      return "the certificate table must run to the end of the file";
    case Finding::kCertificateTableMisaligned:
      return "the certificate table does not start on an 8-byte boundary";
    case Finding::kCertificateTableTooShort:
      return "the certificate table is shorter than its 8-byte header";
    case Finding::kNoBlockBeforeCertificateTable:
      return "no signature block ends where the certificate table or its zero padding to 8 "
             "bytes starts";
    case Finding::kContentNotWholeImage:
      return "with a certificate table, the signed content must hold all that the loader maps";
  }
  return "";
}

}  // namespace

std::string ExplainExamination(const Examination& e) {
  // The parts, each with its offset, told in file order.
  std::vector<std::pair<uint64_t, std::string>> parts;
  if (e.content.found) parts.emplace_back(e.content.offset, ContentLine(e));
  if (e.block.found) {
    parts.emplace_back(
        e.block.offset,
        "signature block: " + At(e.block) + ", key index " + std::to_string(e.decoded.key_index));
  }
  if (e.padding.found)
    parts.emplace_back(e.padding.offset, "padding: " + At(e.padding, "zero bytes"));
  if (e.certificate_table.found) parts.emplace_back(e.certificate_table.offset, TableLine(e));
  std::stable_sort(
      parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

  std::string text = "file: " + Bytes(e.file_size) + "\n" + FormatLine(e) + "\n";
  for (const auto& part : parts) text += part.second + "\n";
  if (e.finding == Finding::kValid || e.finding == Finding::kContentChanged) {
    text += DigestLine(e) + "\n";
  }
  text += "verdict: " + std::to_string(static_cast<int>(e.verdict)) + " (" +
          VerdictName(e.verdict) + "): " + Reason(e) + "\n";
  return text;
}
