#include "tools/sign_tool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Signing/KeyText.h"
#include "Signing/SignatureBlock.h"
#include "tests/support/pe_builder.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

ToolRun SignTool(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = RunSignTool(args, out, err);
  return {status, out.str(), err.str()};
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Answers whether the file system keeps the permission bits the tool sets, so
// the checks on them mean something here.
bool KeepsPermissionBits(const fs::path& folder) {
  const fs::path probe = folder / "perm-probe";
  WriteTextFile(probe.string(), "x");
  fs::permissions(probe, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
  return fs::status(probe).permissions() == (fs::perms::owner_read | fs::perms::owner_write);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class SignToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SignTool({"keygen", "--out", folder_.Join("key0")}).status, kSignToolOk);
    ASSERT_EQ(SignTool({"keygen", "--out=" + folder_.Join("key1")}).status, kSignToolOk);
    WriteTextFile(file_, kProgram);
  }

  std::string Verify(const std::string& path) {
    const ToolRun run = SignTool({"verify", "--key-dir", folder_.path(), path});
    EXPECT_EQ(run.status, kSignToolOk) << run.err;
    return run.out;
  }

  int Sign(const std::string& key, const std::string& index, const std::string& path) {
    const ToolRun run = SignTool({"sign", "--key", folder_.Join(key), "--index", index, path});
    EXPECT_EQ(run.err, "");
    return run.status;
  }

  // What verify --explain says of a file holding bytes.
  std::string Explain(const std::string& bytes) {
    WriteTextFile(file_, bytes);
    const ToolRun run = SignTool({"verify", "--explain", "--key-dir", folder_.path(), file_});
    EXPECT_EQ(run.status, kSignToolOk) << run.err;
    return run.out;
  }

  const std::string kProgram = std::string(
                                   "\x7f"
                                   "ELF",
                                   4) +
                               std::string(1000, 'p');
  TempFolder folder_;
  const std::string file_ = folder_.Join("program");
};

TEST_F(SignToolTest, KeygenWritesKeyFilesAsHexLines) {
  const std::string public_text = ReadTextFile(folder_.Join("key0.pub"));
  const std::string secret_text = ReadTextFile(folder_.Join("key0.key"));
  ASSERT_EQ(public_text.size(), 65u);
  ASSERT_EQ(secret_text.size(), 129u);
  EXPECT_EQ(public_text.back(), '\n');
  signing::PublicKey public_key{};
  signing::SecretKey secret_key{};
  EXPECT_TRUE(signing::ParsePublicKeyText(public_text, &public_key));
  EXPECT_TRUE(signing::ParseSecretKeyText(secret_text, &secret_key));
  EXPECT_EQ(secret_text.substr(64), public_text);
  EXPECT_NE(ReadTextFile(folder_.Join("key1.pub")), public_text);
  if (KeepsPermissionBits(folder_.path())) {
    EXPECT_EQ(fs::status(folder_.Join("key0.key")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
  }
}

TEST_F(SignToolTest, KeygenNeverOverwritesAKey) {
  const std::string secret_text = ReadTextFile(folder_.Join("key0.key"));
  const ToolRun run = SignTool({"keygen", "--out", folder_.Join("key0")});
  EXPECT_EQ(run.status, kSignToolFileError);
  EXPECT_EQ(
      run.err,
      "taverly-sign: '" + folder_.Join("key0.pub") + "' already exists; not overwriting a key\n");
  EXPECT_EQ(ReadTextFile(folder_.Join("key0.key")), secret_text);

  // A folder that is not there: the system's reason, and no half of a pair.
  const ToolRun nowhere = SignTool({"keygen", "--out", folder_.Join("no-such-folder/key")});
  EXPECT_EQ(nowhere.status, kSignToolFileError);
  EXPECT_EQ(nowhere.err.rfind("taverly-sign: cannot create '" + folder_.Join("no-such-folder/key") +
                                  ".key': error ",
                              0),
            0u)
      << nowhere.err;
  EXPECT_FALSE(fs::exists(folder_.Join("no-such-folder")));
}

TEST_F(SignToolTest, SignAndVerifyRoundTrip) {
  EXPECT_EQ(Verify(file_), "0\n");
  ASSERT_EQ(Sign("key1.key", "1", file_), kSignToolOk);
  EXPECT_EQ(Verify(file_), "3\n");
  const std::string signed_bytes = ReadTextFile(file_);
  ASSERT_EQ(signed_bytes.size(), kProgram.size() + signing::kBlockSize);
  EXPECT_EQ(signed_bytes.substr(0, kProgram.size()), kProgram);

  std::string changed = signed_bytes;
  changed[10] ^= 0x01;
  WriteTextFile(folder_.Join("changed"), changed);
  EXPECT_EQ(Verify(folder_.Join("changed")), "1\n");
  // Keys that are not the program's own make no valid signature for it.
  EXPECT_EQ(SignTool({"verify", file_}).out, "0\n");
}

TEST_F(SignToolTest, ResigningReplacesTheBlock) {
  ASSERT_EQ(Sign("key1.key", "1", file_), kSignToolOk);
  ASSERT_EQ(Sign("key1.key", "1", file_), kSignToolOk);
  EXPECT_EQ(fs::file_size(file_), kProgram.size() + signing::kBlockSize);
  EXPECT_EQ(Verify(file_), "3\n");
  ASSERT_EQ(Sign("key0.key", "0", file_), kSignToolOk);
  EXPECT_EQ(fs::file_size(file_), kProgram.size() + signing::kBlockSize);
  EXPECT_EQ(Verify(file_), "2\n");
  // A block signed with the wrong key for its index is still replaced.
  ASSERT_EQ(Sign("key0.key", "1", file_), kSignToolOk);
  EXPECT_EQ(fs::file_size(file_), kProgram.size() + signing::kBlockSize);
  EXPECT_EQ(Verify(file_), "0\n");
}

TEST_F(SignToolTest, OutWritesAnotherFileAndLeavesTheInput) {
  const std::string out = folder_.Join("signed");
  const ToolRun run =
      SignTool({"sign", "--index", "1", file_, "--key", folder_.Join("key1.key"), "--out", out});
  ASSERT_EQ(run.status, kSignToolOk) << run.err;
  EXPECT_EQ(ReadTextFile(file_), kProgram);
  EXPECT_EQ(Verify(out), "3\n");
}

TEST_F(SignToolTest, SigningKeepsThePermissionBits) {
  if (!KeepsPermissionBits(folder_.path())) GTEST_SKIP() << "no permission bits here";
  const fs::perms executable = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;
  fs::permissions(file_, executable, fs::perm_options::replace);
  ASSERT_EQ(Sign("key1.key", "1", file_), kSignToolOk);
  EXPECT_EQ(fs::status(file_).permissions(), executable);
}

TEST_F(SignToolTest, FailedRunsLeaveFilesAsTheyWere) {
  const std::vector<std::string> before = FolderEntries(folder_.path());
  WriteTextFile(folder_.Join("garbage.key"), "not a key\n");
  ToolRun run = SignTool({"sign", "--key", folder_.Join("garbage.key"), "--index", "1", file_});
  EXPECT_EQ(run.status, kSignToolFileError);
  EXPECT_EQ(run.err,
            "taverly-sign: '" + folder_.Join("garbage.key") + "' holds no valid secret key\n");
  fs::remove(folder_.Join("garbage.key"));

  run = SignTool({"sign", "--key", folder_.Join("missing.key"), "--index", "1", file_});
  EXPECT_EQ(run.status, kSignToolFileError);
  EXPECT_EQ(run.err.rfind("taverly-sign: cannot read '" + folder_.Join("missing.key") + "': ", 0),
            0u)
      << run.err;

  run = SignTool({"sign", "--key", folder_.Join("key1.key"), "--index", "1", folder_.Join("none")});
  EXPECT_EQ(run.status, kSignToolFileError);
  run = SignTool({"sign", "--key", folder_.Join("key1.key"), "--index", "1", folder_.path()});
  EXPECT_EQ(run.status, kSignToolFileError);
  EXPECT_EQ(run.err, "taverly-sign: cannot read '" + folder_.path() + "': not a regular file\n");

  run = SignTool({"sign",
                  "--key",
                  folder_.Join("key1.key"),
                  "--index",
                  "1",
                  file_,
                  "--out",
                  folder_.Join("no-such-folder/signed")});
  EXPECT_EQ(run.status, kSignToolFileError);
  EXPECT_EQ(
      run.err.rfind(
          "taverly-sign: cannot create '" + folder_.Join("no-such-folder/signed") + ".sign-", 0),
      0u)
      << run.err;

  EXPECT_EQ(ReadTextFile(file_), kProgram);
  EXPECT_EQ(FolderEntries(folder_.path()), before);
}

TEST_F(SignToolTest, VerifyFailsOnFilesItCannotRead) {
  ToolRun run = SignTool({"verify", folder_.Join("missing")});
  EXPECT_EQ(run.status, kSignToolFileError);
  EXPECT_EQ(run.out, "");
  run = SignTool({"verify", folder_.path()});
  EXPECT_EQ(run.status, kSignToolFileError);
  EXPECT_EQ(run.err, "taverly-sign: cannot read '" + folder_.path() + "': not a regular file\n");
  run = SignTool({"verify", "--key-dir", folder_.Join("missing"), file_});
  EXPECT_EQ(run.status, kSignToolFileError);
  EXPECT_EQ(run.out, "");
}

TEST_F(SignToolTest, BadArgumentsExitWithUsage) {
  const std::string key = folder_.Join("key1.key");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no command given"},
      {{"stamp", file_}, "unknown command stamp"},
      {{"keygen"}, "keygen needs --out PREFIX"},
      {{"keygen", "--out"}, "option --out needs a value"},
      {{"keygen", "--out="}, "option --out needs a value"},
      {{"sign", "--key", key, file_}, "sign needs --index 0|1"},
      {{"sign", "--index", "1", file_}, "sign needs --key KEYFILE"},
      {{"sign", "--key", key, "--index", "2", file_}, "--index must be 0 or 1, not 2"},
      {{"sign", "--key", key, "--index", "1"}, "sign needs exactly one FILE"},
      {{"sign", "--key", key, "--index", "1", file_, file_}, "sign needs exactly one FILE"},
      {{"sign", "--key", key, "--key", key, "--index", "1", file_}, "option --key given twice"},
      {{"sign", "--key", key, "--index", "1", "--force", "x", file_},
       "unknown option --force for sign"},
      {{"verify"}, "verify needs exactly one FILE"},
      {{"verify", "--out", "x", file_}, "unknown option --out for verify"},
  };
  for (const auto& c : cases) {
    const ToolRun run = SignTool(c.first);
    EXPECT_EQ(run.status, kSignToolUsageError) << c.second;
    EXPECT_EQ(FirstLine(run.err), "taverly-sign: " + c.second);
    EXPECT_NE(run.err.find("usage: taverly-sign keygen --out PREFIX\n"), std::string::npos);
  }
  EXPECT_EQ(ReadTextFile(file_), kProgram);
  const ToolRun help = SignTool({"--help"});
  EXPECT_EQ(help.status, kSignToolOk);
  EXPECT_EQ(help.out.rfind("usage: taverly-sign keygen --out PREFIX\n", 0), 0u);
}

// An image of 1539 bytes: signed, its block ends at 1699, 5 bytes short of
// the 8-byte boundary where Authenticode puts its table.
const std::string kImage = pe_builder::Build({true, 2, 3});

TEST_F(SignToolTest, SigningAfterAuthenticodeIsRefused) {
  const std::string authenticode = pe_builder::AddCertificateTable(kImage, 64, 'c');
  WriteTextFile(file_, authenticode);
  const std::vector<std::string> before = FolderEntries(folder_.path());
  for (const std::string& key : {std::string("key1.key"), std::string("key0.key")}) {
    const ToolRun run = SignTool({"sign", "--key", folder_.Join(key), "--index", "1", file_});
    EXPECT_EQ(run.status, kSignToolFileError);
    EXPECT_EQ(run.err,
              "taverly-sign: '" + file_ +
                  "' carries an Authenticode signature: sign with taverly-sign before "
                  "Authenticode, or remove the Authenticode signature first\n");
  }
  EXPECT_EQ(ReadTextFile(file_), authenticode);
  EXPECT_EQ(FolderEntries(folder_.path()), before);
}

TEST_F(SignToolTest, ExplainTellsThePartsAndTheVerdict) {
  EXPECT_EQ(Explain(kProgram),
            "file: 1004 bytes\n"
            "not a PE image (no DOS header): the block must end the file\n"
            "verdict: 0 (not signed): no signature block ends the file\n");

  WriteTextFile(file_, kProgram);
  ASSERT_EQ(Sign("key0.key", "0", file_), kSignToolOk);
  std::string changed = ReadTextFile(file_);
  changed[5] ^= 0x01;
  EXPECT_EQ(Explain(changed),
            "file: 1164 bytes\n"
            "not a PE image (no DOS header): the block must end the file\n"
            "signed content: 1004 bytes at 0\n"
            "signature block: 160 bytes at 1004, key index 0\n"
            "digest: SHA-512 of the signed content as it stands: differs from the block\n"
            "verdict: 1 (signed but changed since): the block is authentic, but the signed "
            "content changed since it was signed\n");

  WriteTextFile(file_, kImage);
  ASSERT_EQ(Sign("key1.key", "1", file_), kSignToolOk);
  const std::string own_signed = ReadTextFile(file_);
  EXPECT_EQ(Explain(pe_builder::AddCertificateTable(own_signed, 64, 'c')),
            "file: 1768 bytes\n"
            "PE32+ image: CheckSum at 216, Certificate Table entry at 296: 64 bytes at 1704\n"
            "signed content: 1539 bytes at 0, a whole PE image\n"
            "signature block: 160 bytes at 1539, key index 1\n"
            "padding: 5 zero bytes at 1699\n"
            "certificate table: 64 bytes at 1704, to the end of the file\n"
            "digest: SHA-512 of the signed content with CheckSum and Certificate Table entry "
            "read as zero: matches the block\n"
            "verdict: 3 (valid with key 1): the block is authentic and the signed content is "
            "unchanged\n");
}

TEST_F(SignToolTest, ExplainTellsWhereTheOrderOfSignaturesIsWrong) {
  // The wrong order, as the tool signed before it refused to: a block over
  // all of an Authenticode-signed file.
  const std::string authenticode = pe_builder::AddCertificateTable(kImage, 64, 'c');
  signing::SecretKey secret{};
  ASSERT_TRUE(signing::ParseSecretKeyText(ReadTextFile(folder_.Join("key1.key")), &secret));
  signing::SignatureBlock block;
  block.key_index = 1;
  block.content_length = authenticode.size();
  const signing::ReadAtFunction read = [&authenticode](
                                           uint64_t offset, void* buffer, size_t count) {
    return authenticode.copy(static_cast<char*>(buffer), count, offset) == count;
  };
  ASSERT_TRUE(signing::DigestContent(authenticode.size(), read, &block.digest));
  ASSERT_TRUE(signing::SignBlock(secret, &block));
  const signing::BlockBytes bytes = signing::EncodeBlock(block);
  EXPECT_EQ(Explain(authenticode + std::string(bytes.begin(), bytes.end())),
            "file: 1768 bytes\n"
            "PE32+ image: CheckSum at 216, Certificate Table entry at 296: 64 bytes at 1544\n"
            "certificate table: 64 bytes at 1544, ends 160 bytes before the end of the file\n"
            "signature block: 160 bytes at 1608, key index 1\n"
            "verdict: 0 (not signed): the signature block follows the certificate table, so "
            "the file was signed with Authenticode first; remove the Authenticode signature, "
            "sign with taverly-sign, then with Authenticode\n");
  EXPECT_EQ(Explain(authenticode + "more"),
            "file: 1612 bytes\n"
            "PE32+ image: CheckSum at 216, Certificate Table entry at 296: 64 bytes at 1544\n"
            "certificate table: 64 bytes at 1544, ends 4 bytes before the end of the file\n"
            "verdict: 0 (not signed): the certificate table must run to the end of the file\n");
}

TEST_F(SignToolTest, ExplainIsAFlag) {
  for (const auto& c : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"verify", "--explain=yes", file_}, "option --explain takes no value"},
           {{"verify", "--explain", "--explain", file_}, "option --explain given twice"},
           {{"sign", "--explain", file_}, "unknown option --explain for sign"}}) {
    const ToolRun run = SignTool(c.first);
    EXPECT_EQ(run.status, kSignToolUsageError);
    EXPECT_EQ(FirstLine(run.err), "taverly-sign: " + c.second);
  }
  // The file comes after the flag, not as its value.
  EXPECT_EQ(FirstLine(SignTool({"verify", "--explain", file_}).out), "file: 1004 bytes");
}

// The development key pair in the repository matches the keys a development
// build trusts, so the build's own signature step yields a valid program.
TEST(SignToolDevKeys, Key1SignsForADevelopmentBuild) {
  signing::PublicKey dev_key1{};
  ASSERT_TRUE(signing::ParsePublicKeyText(
      ReadTextFile(std::string(TAVERLY_DEV_KEY_DIR) + "/key1.pub"), &dev_key1));
  if (dev_key1 != signing::BuiltInPublicKeys()[1]) GTEST_SKIP() << "not a development build";
  TempFolder folder;
  const std::string file = folder.Join("program");
  WriteTextFile(file, "program");
  const ToolRun run = SignTool(
      {"sign", "--key", std::string(TAVERLY_DEV_KEY_DIR) + "/key1.key", "--index", "1", file});
  ASSERT_EQ(run.status, kSignToolOk) << run.err;
  EXPECT_EQ(SignTool({"verify", file}).out, "3\n");
}

}  // namespace
