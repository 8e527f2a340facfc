// Extern variables: values that reach a scriplet's globals by name from
// outside the script (the demo description, the sequencer), kept as text.
#include <cstdio>
#include <string>

#include "runtime/ScriptHost.h"

namespace {

ExternVar* findRecord(std::list<ExternVar>& records, const std::string& name) {
  for (ExternVar& record : records)
    if (record.name == name) return &record;
  return nullptr;
}

bool writtenType(const std::string& type) {
  return type == "float" || type == "color" || type == "string" || type == "enum";
}

// The script type a record of this type is written into; negative when the
// engine has no such type.
int globalTypeId(asIScriptEngine* engine, const std::string& type) {
  if (type == "float") return asTYPEID_FLOAT;
  if (type == "enum") return asTYPEID_INT32;
  return engine->GetTypeIdByDecl(type.c_str());
}

// The script layout of a color: four floats r, g, b, a.
struct ColorValue {
  float r, g, b, a;
};

void writeValue(ExternVar& record, void* address) {
  if (record.type == "float") {
    float number;
    if (std::sscanf(record.value.c_str(), "%f", &number) == 1)
      *static_cast<float*>(address) = number;
  } else if (record.type == "color") {
    // Components the text does not give keep their values.
    ColorValue* color = static_cast<ColorValue*>(address);
    float r = color->r, g = color->g, b = color->b;
    std::sscanf(record.value.c_str(), "%f %f %f", &r, &g, &b);
    color->r = r;
    color->g = g;
    color->b = b;
  } else if (record.type == "string") {
    *static_cast<std::string*>(address) = record.value;
  } else if (record.type == "enum") {
    auto found = record.enumValues.find(record.value);
    if (found == record.enumValues.end()) found = record.enumValues.emplace(record.value, 0).first;
    *static_cast<int32_t*>(address) = found->second;
  }
}

}  // namespace

void ScriptHost::applyExterns(Scriplet& scriplet) {
  scriplet.externsPending = false;
  asIScriptModule* module =
      scriplet.engine ? scriplet.engine->GetModule(scriplet.name.c_str(), asGM_ONLY_IF_EXISTS)
                      : nullptr;
  for (ExternVar& record : scriplet.externs) {
    if (!record.applyPending || record.orphan) continue;
    record.applyPending = false;
    if (!writtenType(record.type) || !module) continue;
    if (record.globalVarId == -1) {
      int index = module->GetGlobalVarIndexByName(record.name.c_str());
      // Failed lookups are remembered too, under a negative id other than -1.
      record.globalVarId = index >= 0 ? index : -2;
    }
    if (record.globalVarId < 0) continue;
    // The global is written only when it has the record's type: a record that
    // names a global of another type (or a constant) leaves it alone.
    int typeId = 0;
    bool isConst = false;
    if (module->GetGlobalVar(asUINT(record.globalVarId), nullptr, nullptr, &typeId, &isConst) < 0)
      continue;
    if (isConst || typeId != globalTypeId(scriplet.engine, record.type)) continue;
    void* address = module->GetAddressOfGlobalVar(asUINT(record.globalVarId));
    if (!address) continue;
    writeValue(record, address);
  }
}

bool ScriptHost::getExternValue(const std::string& scriplet, const std::string& variable,
                                std::string& value) {
  std::list<ExternVar>* records = nullptr;
  auto loaded = scriplets.find(scriplet);
  if (loaded != scriplets.end()) {
    records = &loaded->second.externs;
  } else {
    auto saved = savedExterns.find(scriplet);
    if (saved == savedExterns.end()) return false;
    records = &saved->second;
  }
  ExternVar* record = findRecord(*records, variable);
  if (!record) return false;
  value = record->value;
  return true;
}

void ScriptHost::getExternFloat(const std::string& scriplet, const std::string& variable,
                                float& number) {
  std::string text;
  if (!getExternValue(scriplet, variable, text)) return;
  float read;
  if (std::sscanf(text.c_str(), "%f", &read) == 1) number = read;
}

void ScriptHost::setExternValue(const std::string& scriplet, const std::string& variable,
                                const std::string& value) {
  touch();
  auto loaded = scriplets.find(scriplet);
  if (loaded != scriplets.end()) {
    Scriplet& record = loaded->second;
    if (ExternVar* existing = findRecord(record.externs, variable)) {
      existing->value = value;
      existing->applyPending = true;
      record.externsPending = true;
    } else {
      // A name the script does not declare: kept as a float value, written
      // into a float global of that name at the next application of values.
      record.externs.emplace_back(variable, "float", value);
    }
    return;
  }
  std::list<ExternVar>& saved = savedExterns[scriplet];
  if (ExternVar* existing = findRecord(saved, variable)) {
    existing->value = value;
    existing->applyPending = true;
  } else {
    saved.emplace_back(variable, "float", value);
  }
}

void ScriptHost::setExternTyped(const std::string& scriplet, const std::string& variable,
                                const std::string& type, const std::string& value) {
  touch();
  auto loaded = scriplets.find(scriplet);
  if (loaded != scriplets.end()) {
    Scriplet& record = loaded->second;
    if (ExternVar* existing = findRecord(record.externs, variable)) {
      existing->value = value;
    } else {
      record.externs.emplace_back(variable, type, value);
      record.externs.back().orphan = true;
    }
    return;
  }
  std::list<ExternVar>& saved = savedExterns[scriplet];
  if (ExternVar* existing = findRecord(saved, variable)) {
    existing->value = value;
    existing->applyPending = true;
  } else {
    saved.emplace_back(variable, "float", value);
  }
}

void ScriptHost::setExternFloat(const std::string& scriplet, const std::string& variable,
                                const std::string& type, float number) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", double(number));
  setExternTyped(scriplet, variable, type, text);
}

void ScriptHost::mergeSavedExterns(const std::string& name, Scriplet& scriplet) {
  touch();
  auto saved = savedExterns.find(name);
  if (saved == savedExterns.end()) return;
  for (const ExternVar& kept : saved->second) {
    if (ExternVar* declared = findRecord(scriplet.externs, kept.name)) {
      declared->value = kept.value;
      declared->reservedInt = kept.reservedInt;
      declared->reservedFloat = kept.reservedFloat;
    } else {
      scriplet.externs.push_back(kept);
      scriplet.externs.back().orphan = true;
    }
  }
  savedExterns.erase(saved);
  for (ExternVar& record : scriplet.externs) record.applyPending = true;
  scriplet.externsPending = true;
}

void ScriptHost::saveExterns(const std::string& name, Scriplet& scriplet) {
  std::list<ExternVar> copy = scriplet.externs;
  for (ExternVar& record : copy) record.globalVarId = -1;
  savedExterns[name] = std::move(copy);
}
