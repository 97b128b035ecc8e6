// The registry of the simulated machine: HKEY_LOCAL_MACHINE only, read only,
// names compared without case, data stored as the raw bytes a test gives.
#include <cstring>
#include <utility>

#include "platform/platform.h"
#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

std::string normalKey(std::string path) {
  while (!path.empty() && path.back() == '\\') path.pop_back();
  while (!path.empty() && path.front() == '\\') path.erase(path.begin());
  return lowerCase(path);
}

std::vector<std::string>& openKeys() { return machine().records().openKeys; }

const std::vector<SimRegistryValue>* keyValues(pf::HKEY key) {
  HandleInfo info = lookupHandle(reinterpret_cast<pf::HANDLE>(key));
  if (info.kind != HandleKind::None) return nullptr;
  std::uintptr_t raw = reinterpret_cast<std::uintptr_t>(key);
  std::vector<std::string>& keys = openKeys();
  if (raw < 0x10 || raw - 0x10 >= keys.size()) return nullptr;
  auto& registry = machine().registry;
  auto it = registry.find(keys[raw - 0x10]);
  return it == registry.end() ? nullptr : &it->second;
}

}  // namespace

void Machine::addKey(const std::string& keyPath) {
  registry[normalKey(keyPath)];
}

void Machine::setValue(const std::string& keyPath, const std::string& name,
                       pf::DWORD type, const std::string& data) {
  auto& values = registry[normalKey(keyPath)];
  for (auto& v : values) {
    if (sameNoCase(v.name, name)) {
      v.type = type;
      v.data = data;
      return;
    }
  }
  values.push_back(SimRegistryValue{name, type, data});
}

}  // namespace sim

namespace pf {

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD, DWORD, HKEY* result) {
  if (sim::enterFails(sim::Call::RegOpenKeyExA)) return ERROR_FILE_NOT_FOUND;
  if (key != HKEY_LOCAL_MACHINE || subKey == nullptr || result == nullptr)
    return ERROR_INVALID_PARAMETER;
  std::string path = sim::normalKey(subKey);
  if (sim::machine().registry.count(path) == 0) return ERROR_FILE_NOT_FOUND;
  std::vector<std::string>& keys = sim::openKeys();
  keys.push_back(std::move(path));
  *result = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x10 + keys.size() - 1));
  return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, char* valueName,
                   DWORD* valueNameLength, DWORD*, DWORD* type, BYTE* data,
                   DWORD* dataLength) {
  if (sim::enterFails(sim::Call::RegEnumValueA)) return ERROR_NO_MORE_ITEMS;
  const auto* values = sim::keyValues(key);
  if (values == nullptr || valueNameLength == nullptr)
    return ERROR_INVALID_PARAMETER;
  if (index >= values->size()) return ERROR_NO_MORE_ITEMS;
  const sim::SimRegistryValue& v = (*values)[index];
  // As on Windows: a name that does not fit (with its NUL) or data that do
  // not fit give ERROR_MORE_DATA; the data size is then reported, the name
  // count is left as it was.
  if (v.name.size() + 1 > *valueNameLength) return ERROR_MORE_DATA;
  if (data != nullptr && dataLength != nullptr && v.data.size() > *dataLength) {
    *dataLength = static_cast<DWORD>(v.data.size());
    return ERROR_MORE_DATA;
  }
  std::memcpy(valueName, v.name.c_str(), v.name.size() + 1);
  *valueNameLength = static_cast<DWORD>(v.name.size());
  if (type != nullptr) *type = v.type;
  if (dataLength != nullptr) {
    if (data != nullptr) std::memcpy(data, v.data.data(), v.data.size());
    *dataLength = static_cast<DWORD>(v.data.size());
  }
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD*, DWORD* type,
                      BYTE* data, DWORD* dataLength) {
  if (sim::enterFails(sim::Call::RegQueryValueExA)) return ERROR_FILE_NOT_FOUND;
  const auto* values = sim::keyValues(key);
  if (values == nullptr) return ERROR_INVALID_PARAMETER;
  const std::string wanted = valueName != nullptr ? valueName : "";
  for (const auto& v : *values) {
    if (!sim::sameNoCase(v.name, wanted)) continue;
    if (type != nullptr) *type = v.type;
    if (dataLength == nullptr) return ERROR_SUCCESS;
    if (data != nullptr && v.data.size() > *dataLength) {
      *dataLength = static_cast<DWORD>(v.data.size());
      return ERROR_MORE_DATA;
    }
    if (data != nullptr) std::memcpy(data, v.data.data(), v.data.size());
    *dataLength = static_cast<DWORD>(v.data.size());
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY key) {
  if (sim::enterFails(sim::Call::RegCloseKey)) return ERROR_INVALID_PARAMETER;
  return sim::keyValues(key) != nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

}  // namespace pf
