#include "platform/sim/sim_registry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/sim/host_file.h"
#include "platform/sim/text.h"

namespace fenra::sim {
namespace {

constexpr uint32_t kErrorNoaccess = 998;
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kGenericAll = 0x10000000;

uint32_t GrantedAccess(uint32_t sam) {
  uint32_t granted = sam;
  if (sam & (kMaximumAllowed | kGenericAll)) granted |= win::kKeyAllAccess;
  if (sam & win::kGenericRead) granted |= win::kKeyRead;
  if (sam & win::kGenericWrite) granted |= win::kKeyWrite;
  return granted;
}

// The names of a subkey path. Names are C strings to the platform, and
// texts of the ANSI code page; empty names (a trailing or doubled
// backslash) are skipped, but a leading backslash is refused.
int32_t SplitPath(const std::string& path, std::vector<std::string>* names) {
  std::string_view text(path.c_str());
  if (!text.empty() && text[0] == '\\') return win::kErrorBadPathname;
  while (!text.empty()) {
    size_t end = std::min(text.find('\\'), text.size());
    if (end > 0) names->push_back(ToValidUtf8(text.substr(0, end)));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return 0;
}

std::string ValueName(const char* name) { return name ? ToValidUtf8(name) : std::string(); }

// A key name the .reg file can hold on its [key] line.
bool IsStorableKeyName(const std::string& name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

}  // namespace

class SimRegistry::Key : public RegKey {
 public:
  Key(const SimRegistry* registry, std::shared_ptr<RegNode> key_node, uint32_t granted)
      : owner(registry), node(std::move(key_node)), access(granted) {}

  const SimRegistry* const owner;
  const std::shared_ptr<RegNode> node;
  const uint32_t access;
};

SimRegistry::SimRegistry(std::filesystem::path file) : file_(std::move(file)), hives_(Load()) {}

RegHives SimRegistry::Load() const {
  RegHives hives;
  std::string content;
  int error = ReadHostFile(file_, &content);
  if (error == ENOENT) return hives;
  if (error != 0) throw std::runtime_error(file_.string() + ": cannot be read: " + std::strerror(error));
  ParseRegText(content, file_.string(), &hives);
  return hives;
}

int32_t SimRegistry::Batch(const std::function<void()>& changes) {
  {
    std::lock_guard lock(mutex_);
    ++batch_depth_;
  }
  auto end = [this] {
    std::lock_guard lock(mutex_);
    if (--batch_depth_ > 0 || !std::exchange(unsaved_, false)) return 0;
    int32_t error = Save();
    if (error != 0) hives_ = Load();
    return error;
  };
  try {
    changes();
  } catch (...) {
    end();
    throw;
  }
  return end();
}

int32_t SimRegistry::OpenKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key) {
  if (key == nullptr) return win::kErrorInvalidParameter;
  key->reset();
  std::vector<std::string> names;
  if (int32_t error = SplitPath(path, &names)) return error;
  std::lock_guard lock(mutex_);
  std::shared_ptr<RegNode> node;
  if (Walk(hive, names, &node) < names.size()) return win::kErrorFileNotFound;
  *key = std::make_unique<Key>(this, node, GrantedAccess(sam));
  return 0;
}

int32_t SimRegistry::CreateKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key,
                               uint32_t* disposition) {
  if (key == nullptr) return win::kErrorInvalidParameter;
  key->reset();
  std::vector<std::string> names;
  if (int32_t error = SplitPath(path, &names)) return error;
  std::lock_guard lock(mutex_);
  std::shared_ptr<RegNode> node;
  size_t existing = Walk(hive, names, &node);
  if (existing < names.size()) {
    // Windows would take a line break in a key name; the file cannot.
    for (size_t i = existing; i < names.size(); ++i) {
      if (!IsStorableKeyName(names[i])) return win::kErrorInvalidParameter;
    }
    std::shared_ptr<RegNode> parent = node;
    for (size_t i = existing; i < names.size(); ++i) {
      auto child = std::make_shared<RegNode>();
      node->subkeys.emplace(names[i], child);
      node = child;
    }
    if (int32_t error = Save()) {
      parent->subkeys.erase(names[existing]);
      return error;
    }
  }
  if (disposition) *disposition = existing < names.size() ? win::kRegCreatedNewKey : win::kRegOpenedExistingKey;
  *key = std::make_unique<Key>(this, node, GrantedAccess(sam));
  return 0;
}

size_t SimRegistry::Walk(Hive hive, const std::vector<std::string>& names, std::shared_ptr<RegNode>* node) {
  *node = hive == Hive::kLocalMachine ? hives_.local_machine : hives_.classes_root;
  for (size_t i = 0; i < names.size(); ++i) {
    auto it = (*node)->subkeys.find(names[i]);
    if (it == (*node)->subkeys.end()) return i;
    *node = it->second;
  }
  return names.size();
}

int32_t SimRegistry::CheckKey(RegKey& key, uint32_t needed, Key** checked) {
  auto* sim_key = dynamic_cast<Key*>(&key);
  if (sim_key == nullptr || sim_key->owner != this) return win::kErrorInvalidHandle;
  if ((sim_key->access & needed) != needed) return win::kErrorAccessDenied;
  if (sim_key->node->deleted) return win::kErrorKeyDeleted;
  *checked = sim_key;
  return 0;
}

int32_t SimRegistry::QueryValue(RegKey& key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) {
  std::lock_guard lock(mutex_);
  Key* checked = nullptr;
  if (int32_t error = CheckKey(key, win::kKeyQueryValue, &checked)) return error;
  if (data != nullptr && size == nullptr) return win::kErrorInvalidParameter;
  auto it = checked->node->values.find(ValueName(name));
  if (it == checked->node->values.end()) return win::kErrorFileNotFound;

  const RegValue& value = it->second;
  auto stored = static_cast<uint32_t>(value.data.size());
  if (type) *type = value.type;
  if (data == nullptr) {
    if (size) *size = stored;
    return 0;
  }
  uint32_t room = *size;
  *size = stored;
  if (room < stored) return win::kErrorMoreData;
  if (stored > 0) memcpy(data, value.data.data(), stored);
  // A string stored without its terminator gets one when there is room;
  // the size reported does not count it.
  if (IsStringType(value.type) && stored > 0 && stored < room && value.data.back() != 0) data[stored] = 0;
  return 0;
}

int32_t SimRegistry::SetValue(RegKey& key, const char* name, uint32_t type, const uint8_t* data, uint32_t size) {
  std::lock_guard lock(mutex_);
  Key* checked = nullptr;
  if (int32_t error = CheckKey(key, win::kKeySetValue, &checked)) return error;
  if (data == nullptr && size > 0) return kErrorNoaccess;

  uint32_t count = size;
  // The platform's own fix-up for callers that forget the terminator: when
  // the byte after the data is a NUL, it is stored too. This reads data[size].
  if (IsStringType(type) && count > 0 && data[count - 1] != 0 && data[count] == 0) ++count;
  RegValue value{type, std::vector<uint8_t>(data, data + count)};
  if (IsStringType(type)) {
    std::string text = ToValidUtf8(std::string_view(reinterpret_cast<const char*>(data), count));
    value.data.assign(text.begin(), text.end());
  }

  auto& values = checked->node->values;
  std::string value_name = ValueName(name);
  auto it = values.find(value_name);
  std::optional<RegValue> old;
  if (it != values.end()) {
    old = std::exchange(it->second, std::move(value));
  } else {
    it = values.emplace(value_name, std::move(value)).first;
  }
  if (int32_t error = Save()) {
    if (old) {
      it->second = std::move(*old);
    } else {
      values.erase(it);
    }
    return error;
  }
  return 0;
}

int32_t SimRegistry::DeleteValue(RegKey& key, const char* name) {
  std::lock_guard lock(mutex_);
  Key* checked = nullptr;
  if (int32_t error = CheckKey(key, win::kKeySetValue, &checked)) return error;
  auto& values = checked->node->values;
  auto it = values.find(ValueName(name));
  if (it == values.end()) return win::kErrorFileNotFound;
  auto removed = std::move(*it);
  values.erase(it);
  if (int32_t error = Save()) {
    values.emplace(std::move(removed));
    return error;
  }
  return 0;
}

int32_t SimRegistry::DeleteKey(Hive hive, const std::string& path) {
  std::vector<std::string> names;
  if (int32_t error = SplitPath(path, &names)) return error;
  if (names.empty()) return win::kErrorAccessDenied;
  std::lock_guard lock(mutex_);
  RegNode* parent = &hives_.Root(hive);
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    auto it = parent->subkeys.find(names[i]);
    if (it == parent->subkeys.end()) return win::kErrorFileNotFound;
    parent = it->second.get();
  }
  auto it = parent->subkeys.find(names.back());
  if (it == parent->subkeys.end()) return win::kErrorFileNotFound;
  if (!it->second->subkeys.empty()) return win::kErrorAccessDenied;

  auto removed = std::move(*it);
  parent->subkeys.erase(it);
  removed.second->deleted = true;
  if (int32_t error = Save()) {
    removed.second->deleted = false;
    parent->subkeys.emplace(std::move(removed));
    return error;
  }
  return 0;
}

int32_t SimRegistry::Save() {
  if (batch_depth_ > 0) {
    unsaved_ = true;
    return 0;
  }
  int error = WriteFileAtomically(file_, FormatRegText(hives_));
  return static_cast<int32_t>(Win32ErrorFromErrno(error));
}

int32_t SimRegistry::SetString(Hive hive, const std::string& path, const std::string& name, const std::string& text) {
  RegKeyPtr key;
  if (int32_t error = CreateKey(hive, path, win::kKeySetValue, &key, nullptr)) return error;
  return SetValue(*key, name.c_str(), win::kRegSz, reinterpret_cast<const uint8_t*>(text.c_str()),
                  static_cast<uint32_t>(text.size() + 1));
}

int32_t SimRegistry::SetDword(Hive hive, const std::string& path, const std::string& name, uint32_t value) {
  RegKeyPtr key;
  if (int32_t error = CreateKey(hive, path, win::kKeySetValue, &key, nullptr)) return error;
  uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 24)};
  return SetValue(*key, name.c_str(), win::kRegDword, bytes, sizeof(bytes));
}

std::optional<std::string> SimRegistry::GetString(Hive hive, const std::string& path, const std::string& name) {
  RegKeyPtr key;
  uint32_t type = 0;
  uint32_t size = 0;
  if (OpenKey(hive, path, win::kKeyQueryValue, &key) != 0 ||
      QueryValue(*key, name.c_str(), &type, nullptr, &size) != 0 || !IsStringType(type))
    return std::nullopt;
  std::string text(size, '\0');
  if (QueryValue(*key, name.c_str(), &type, reinterpret_cast<uint8_t*>(text.data()), &size) != 0) return std::nullopt;
  text.resize(strnlen(text.c_str(), size));
  return text;
}

std::optional<uint32_t> SimRegistry::GetDword(Hive hive, const std::string& path, const std::string& name) {
  RegKeyPtr key;
  uint32_t type = 0;
  uint8_t bytes[4] = {};
  uint32_t size = sizeof(bytes);
  if (OpenKey(hive, path, win::kKeyQueryValue, &key) != 0 || QueryValue(*key, name.c_str(), &type, bytes, &size) != 0 ||
      type != win::kRegDword || size != sizeof(bytes))
    return std::nullopt;
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

}  // namespace fenra::sim
