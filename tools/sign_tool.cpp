#include "tools/sign_tool.h"

#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>
#include <vector>

#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Signing/CommandScript.h"
#include "Signing/KeyText.h"
#include "Signing/SignatureBlock.h"
#include "Signing/SignedContent.h"
#include "Utils/PathUtils.h"
#include "Utils/Version.h"
#include "tools/sign_explain.h"
#include "tools/sign_usage.h"

namespace fs = std::filesystem;

namespace {

// Key files are one line; anything much longer is not a key file.
constexpr std::uintmax_t kMaxKeyFileSize = 4096;
constexpr size_t kCopyChunk = 64 * 1024;
constexpr char kHexDigits[] = "0123456789abcdef";

struct Arguments {
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
};

class Tool {
 public:
  Tool(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  int Run(const std::vector<std::string>& args);

 private:
  int Keygen(const Arguments& args);
  int Sign(const Arguments& args);
  int Verify(const Arguments& args);
  int WriteSignedFile(std::ifstream& in, const signing::SignatureBlock& block,
                      const fs::path& input_path, const fs::path& output_path);

  bool Parse(const std::vector<std::string>& args, size_t first,
             const std::vector<std::string>& allowed, const std::vector<std::string>& flags,
             Arguments* parsed);
  bool ReadSmallFile(const fs::path& path, std::string* text);
  bool WriteKeyFile(const fs::path& path, const std::string& text, bool secret);
  int UsageError(const std::string& message);
  int FileError(const std::string& message);

  std::ostream& out_;
  std::ostream& err_;
};

// Reads ranges of an open stream for the signing code.
signing::ReadAtFunction StreamReader(std::ifstream& in) {
  return [&in](uint64_t offset, void* buffer, size_t count) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in) return false;
    in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(count));
    return in.gcount() == static_cast<std::streamsize>(count);
  };
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

bool OpenRegularFile(const fs::path& path, std::ifstream* in, uint64_t* size, std::string* reason) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) {
    *reason = error.message();
    return false;
  }
  if (!fs::is_regular_file(status)) {
    *reason = "not a regular file";
    return false;
  }
  *size = fs::file_size(path, error);
  if (error) {
    *reason = error.message();
    return false;
  }
  in->open(path, std::ios::binary);
  if (!in->is_open()) {
    *reason = "cannot be opened";
    return false;
  }
  return true;
}

int Tool::UsageError(const std::string& message) {
  err_ << "taverly-sign: " << message << "\n" << kSignToolUsage;
  return kSignToolUsageError;
}

int Tool::FileError(const std::string& message) {
  err_ << "taverly-sign: " << message << "\n";
  return kSignToolFileError;
}

bool IsOneOf(const std::string& name, const std::vector<std::string>& names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Options take a value ("--out X" or "--out=X"); flags take none and are
// kept with an empty value.
bool Tool::Parse(const std::vector<std::string>& args, size_t first,
                 const std::vector<std::string>& allowed, const std::vector<std::string>& flags,
                 Arguments* parsed) {
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      parsed->positional.push_back(arg);
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const bool flag = IsOneOf(name, flags);
    if (!flag && !IsOneOf(name, allowed)) {
      UsageError("unknown option " + name + " for " + args[0]);
      return false;
    }
    if (flag && equals != std::string::npos) {
      UsageError("option " + name + " takes no value");
      return false;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (!flag && i + 1 < args.size()) {
      value = args[++i];
    }
    if (!flag && value.empty()) {
      UsageError("option " + name + " needs a value");
      return false;
    }
    if (parsed->options.count(name) != 0) {
      UsageError("option " + name + " given twice");
      return false;
    }
    parsed->options[name] = value;
  }
  return true;
}

bool Tool::ReadSmallFile(const fs::path& path, std::string* text) {
  std::ifstream in;
  uint64_t size = 0;
  std::string reason;
  if (!OpenRegularFile(path, &in, &size, &reason)) {
    FileError("cannot read " + Quoted(path) + ": " + reason);
    return false;
  }
  if (size > kMaxKeyFileSize) {
    FileError(Quoted(path) + " is too large to be a key file");
    return false;
  }
  text->assign(static_cast<size_t>(size), '\0');
  if (!StreamReader(in)(0, &(*text)[0], text->size())) {
    FileError("cannot read " + Quoted(path));
    return false;
  }
  return true;
}

bool Tool::WriteKeyFile(const fs::path& path, const std::string& text, bool secret) {
  // Made new and, for a secret, closed to others from its first moment.
  uint32_t error = 0;
  if (!platform::CreateNewFile(AnsiToWide(path.string()), text + "\n", secret, &error)) {
    FileError("cannot create " + Quoted(path) + ": " + platform::ErrorText(error));
    return false;
  }
  return true;
}

int Tool::Keygen(const Arguments& args) {
  if (!args.positional.empty()) return UsageError("keygen takes no file argument");
  const auto out = args.options.find("--out");
  if (out == args.options.end()) return UsageError("keygen needs --out PREFIX");
  const fs::path public_path = out->second + ".pub";
  const fs::path secret_path = out->second + ".key";
  for (const fs::path& path : {public_path, secret_path}) {
    std::error_code error;
    if (fs::exists(fs::symlink_status(path, error))) {
      return FileError(Quoted(path) + " already exists; not overwriting a key");
    }
  }
  signing::PublicKey public_key{};
  signing::SecretKey secret_key{};
  if (!signing::GenerateKeyPair(&public_key, &secret_key)) {
    return FileError("the crypto library cannot be initialised");
  }
  const bool secret_written = WriteKeyFile(secret_path, signing::SecretKeyText(secret_key), true);
  sodium_memzero(secret_key.data(), secret_key.size());
  if (!secret_written) return kSignToolFileError;
  if (!WriteKeyFile(public_path, signing::PublicKeyText(public_key), false)) {
    // Only the file made here goes; whatever took the public key's name stays.
    std::error_code ignored;
    fs::remove(secret_path, ignored);
    return kSignToolFileError;
  }
  return kSignToolOk;
}

int Tool::Sign(const Arguments& args) {
  if (args.positional.size() != 1) return UsageError("sign needs exactly one FILE");
  const auto key = args.options.find("--key");
  if (key == args.options.end()) return UsageError("sign needs --key KEYFILE");
  const auto index = args.options.find("--index");
  if (index == args.options.end()) return UsageError("sign needs --index 0|1");
  if (index->second != "0" && index->second != "1") {
    return UsageError("--index must be 0 or 1, not " + index->second);
  }
  const fs::path input_path = args.positional[0];
  const auto out = args.options.find("--out");
  const fs::path output_path = out != args.options.end() ? fs::path(out->second) : input_path;

  std::string key_text;
  if (!ReadSmallFile(key->second, &key_text)) return kSignToolFileError;
  signing::SecretKey secret_key{};
  const bool key_ok = signing::ParseSecretKeyText(key_text, &secret_key);
  sodium_memzero(&key_text[0], key_text.size());
  if (!key_ok) return FileError(Quoted(key->second) + " holds no valid secret key");

  std::ifstream in;
  uint64_t size = 0;
  std::string reason;
  if (!OpenRegularFile(input_path, &in, &size, &reason)) {
    sodium_memzero(secret_key.data(), secret_key.size());
    return FileError("cannot read " + Quoted(input_path) + ": " + reason);
  }
  signing::SignatureBlock block;
  block.key_index = index->second == "1" ? 1 : 0;
  const signing::Preparation preparation = signing::PrepareBlock(size, StreamReader(in), &block);
  const bool signed_ok =
      preparation == signing::Preparation::kReady && signing::SignBlock(secret_key, &block);
  sodium_memzero(secret_key.data(), secret_key.size());
  if (preparation == signing::Preparation::kCarriesCertificateTable) {
    return FileError(Quoted(input_path) +
                     " carries an Authenticode signature: sign with taverly-sign before "
                     "Authenticode, or remove the Authenticode signature first");
  }
  if (!signed_ok) return FileError("cannot read and sign " + Quoted(input_path));
  const bool script = signing::IsCommandScriptName(input_path.string()) ||
                      signing::IsCommandScriptName(output_path.string());
  if (script && !signing::CommandScriptContentEndsItself(block.content_length, StreamReader(in))) {
    return FileError(Quoted(input_path) + " is a command script that does not end itself: " +
                     "Taverly refuses it, as the command processor would run its signature "
                     "block; end it with a line that is exactly exit, exit /b, exit /b <number> "
                     "or goto :eof (nothing after it: no pipe, & or variable) and a line break");
  }
  return WriteSignedFile(in, block, input_path, output_path);
}

int Tool::WriteSignedFile(std::ifstream& in, const signing::SignatureBlock& block,
                          const fs::path& input_path, const fs::path& output_path) {
  const signing::ReadAtFunction read = StreamReader(in);
  // The temporary file lies beside the result, so the rename cannot cross
  // file systems and either the old or the new file is there at every moment.
  uint8_t nonce[8];
  randombytes_buf(nonce, sizeof(nonce));
  fs::path temp_path = output_path;
  temp_path += ".sign-";
  for (uint8_t byte : nonce) {
    temp_path += std::string{kHexDigits[byte >> 4], kHexDigits[byte & 0x0f]};
  }
  std::ofstream temp(temp_path, std::ios::binary | std::ios::trunc);
  if (!temp.is_open()) return FileError("cannot create " + Quoted(temp_path));
  std::vector<char> chunk(kCopyChunk);
  bool written = true;
  for (uint64_t offset = 0; written && offset < block.content_length;) {
    const size_t count =
        static_cast<size_t>(std::min<uint64_t>(chunk.size(), block.content_length - offset));
    written = read(offset, chunk.data(), count) &&
              temp.write(chunk.data(), static_cast<std::streamsize>(count)).good();
    offset += count;
  }
  const signing::BlockBytes bytes = signing::EncodeBlock(block);
  temp.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  temp.close();
  // Windows renames nothing over a file that is still open.
  in.close();
  std::error_code error;
  if (!written || !temp) {
    fs::remove(temp_path, error);
    return FileError("cannot write " + Quoted(temp_path));
  }
  // A signed program must stay executable.
  const fs::perms perms = fs::status(input_path, error).permissions();
  if (!error) fs::permissions(temp_path, perms, fs::perm_options::replace, error);
  if (!error) fs::rename(temp_path, output_path, error);
  if (error) {
    std::error_code ignored;
    fs::remove(temp_path, ignored);
    return FileError("cannot replace " + Quoted(output_path) + ": " + error.message());
  }
  return kSignToolOk;
}

int Tool::Verify(const Arguments& args) {
  if (args.positional.size() != 1) return UsageError("verify needs exactly one FILE");
  signing::PublicKeySet keys = signing::BuiltInPublicKeys();
  const auto key_dir = args.options.find("--key-dir");
  if (key_dir != args.options.end()) {
    for (uint32_t i = 0; i < signing::kKeyCount; ++i) {
      const fs::path path = fs::path(key_dir->second) / ("key" + std::to_string(i) + ".pub");
      std::string text;
      if (!ReadSmallFile(path, &text)) return kSignToolFileError;
      if (!signing::ParsePublicKeyText(text, &keys[i])) {
        return FileError(Quoted(path) + " holds no valid public key");
      }
    }
  }
  const fs::path path = args.positional[0];
  std::ifstream in;
  uint64_t size = 0;
  std::string reason;
  if (!OpenRegularFile(path, &in, &size, &reason)) {
    return FileError("cannot read " + Quoted(path) + ": " + reason);
  }
  signing::Examination examination;
  if (!signing::ExamineFile(size, StreamReader(in), keys, &examination)) {
    return FileError("cannot read " + Quoted(path));
  }
  if (args.options.count("--explain") != 0) {
    out_ << ExplainExamination(examination);
  } else {
    out_ << static_cast<int>(examination.verdict) << "\n";
  }
  return kSignToolOk;
}

int Tool::Run(const std::vector<std::string>& args) {
  if (args.empty()) return UsageError("no command given");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    out_ << kSignToolUsage;
    return kSignToolOk;
  }
  if (command == "--version") {
    out_ << "taverly-sign " << TaverlyVersion() << "\n";
    return kSignToolOk;
  }
  if (!signing::InitCrypto()) return FileError("the crypto library cannot be initialised");
  Arguments parsed;
  if (command == "keygen") {
    if (!Parse(args, 1, {"--out"}, {}, &parsed)) return kSignToolUsageError;
    return Keygen(parsed);
  }
  if (command == "sign") {
    if (!Parse(args, 1, {"--key", "--index", "--out"}, {}, &parsed)) return kSignToolUsageError;
    return Sign(parsed);
  }
  if (command == "verify") {
    if (!Parse(args, 1, {"--key-dir"}, {"--explain"}, &parsed)) return kSignToolUsageError;
    return Verify(parsed);
  }
  return UsageError("unknown command " + command);
}

}  // namespace

int RunSignTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Tool tool(out, err);
  return tool.Run(args);
}
