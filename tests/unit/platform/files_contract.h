#pragma once
// The contract of the Files port, as a value-parameterised suite that every
// adapter instantiates (the simulated machine here, the Win32 adapter under
// Wine). It uses the port only, inside a directory the harness gives it, and
// expects the exact Win32 last errors.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.h"
#include "platform/kernel.h"
#include "unit/platform/contract.h"

namespace fenra::testing {

// Owns one adapter's files for the life of one test.
class FilesHarness {
 public:
  virtual ~FilesHarness() = default;
  virtual Files& files() = 0;
  // The same machine's files as another process opens them.
  virtual Files& other_process() = 0;
  // Whose GetLastError reads what a failed call of files() set.
  virtual Kernel& kernel() = 0;
  // An empty directory for this test alone, as a full Windows path ending
  // in a backslash; the harness removes it.
  virtual std::string directory() = 0;
  // True on Wine, which answers unlike Windows where a test says so.
  virtual bool on_wine() const { return false; }
  // What a user could leave in a folder open to them: a second name `link`
  // of the file `existing` (a hard link), a symbolic link `link` to
  // `target`, another account as the owner of `path`. False where the
  // platform cannot make it here; the test then leaves that case out.
  virtual bool MakeHardLink(const std::string& existing, const std::string& link) = 0;
  virtual bool MakeSymbolicLink(const std::string& target, const std::string& link) = 0;
  virtual bool GiveToAnotherAccount(const std::string& path) = 0;
};

using FilesContractParam = ContractParam<FilesHarness>;

class FilesContractTest : public ::testing::TestWithParam<FilesContractParam> {
 protected:
  void SetUp() override { harness_ = GetParam().make(); }

  Files& files() { return harness_->files(); }
  Files& other_process() { return harness_->other_process(); }
  // The full path of `name` in the test's directory.
  std::string Path(const std::string& name) { return harness_->directory() + name; }

  // Opens through files(); the last error is set to a marker first, so that
  // a call that leaves it alone is noticed.
  FilePtr Open(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition);
  // The last error of an open that is refused; kOpened when it succeeds.
  static constexpr uint32_t kOpened = 0xFFFFFFFF;
  uint32_t Refusal(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition);
  uint32_t LastError() { return harness_->kernel().GetLastError(); }
  FilesHarness& harness() { return *harness_; }
  bool on_wine() const { return harness_->on_wine(); }

  bool Write(File& file, const std::string& text);
  // Everything in the file, read from its start.
  std::string ReadAll(File& file);
  // The content of a file by its path, or "(none)" when it cannot be read.
  std::string Content(const std::string& path);
  // Creates or replaces a file with `text`.
  void Put(const std::string& path, const std::string& text);
  // Writes `text` as the INI file FENRA.ini of the test's directory and
  // reads the number of `key` in `section` from it.
  uint32_t ReadIni(const std::string& text, const std::string& section = "MODE",
                   const std::string& key = "SIMPLEX_FILTER_TIME", int32_t fallback = -1);

 private:
  std::unique_ptr<FilesHarness> harness_;
};

}  // namespace fenra::testing
