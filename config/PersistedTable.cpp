#include "config/PersistedTable.h"

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "config/Datapacket.h"
#include "foundation/Descriptor.h"
#include "foundation/Error.h"
#include "foundation/Text.h"

namespace vespril {

namespace {

QString QtPath(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

// Flushes the directory that holds `path`, so that a rename into it survives a power failure.
bool SyncDirectoryOf(const QString& path) {
  const QByteArray directory = QFile::encodeName(QFileInfo(path).absolutePath());
  const Descriptor fd(::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.Valid() && ::fsync(fd.Get()) == 0;
}

std::string CutToSize(std::string_view text, int size) {
  return std::string(text.substr(0, static_cast<size_t>(size)));
}

bool SameValue(const FieldValue& value, std::string_view text) {
  if (const auto* stored = std::get_if<std::string>(&value)) return SameText(*stored, text);
  if (const auto* number = std::get_if<int32_t>(&value)) return std::to_string(*number) == text;
  return text.empty();
}

}  // namespace

void PersistedTable::DefineStringField(std::string name, int size) {
  CheckDefinable();
  if (size <= 0) throw Error(Format("Field '%s' needs a size above 0", name));
  for (const FieldDef& field : m_fields) {
    if (SameText(field.name, name)) throw Error(Format("Duplicate field name '%s'", name));
  }
  m_fields.push_back({std::move(name), FieldType::String, size});
}

void PersistedTable::DefineIntegerField(std::string name) {
  CheckDefinable();
  for (const FieldDef& field : m_fields) {
    if (SameText(field.name, name)) throw Error(Format("Duplicate field name '%s'", name));
  }
  m_fields.push_back({std::move(name), FieldType::Integer, 0});
}

void PersistedTable::SetIndexFieldNames(std::string names) {
  if (!m_created) {
    m_indexFieldNames = std::move(names);
    return;
  }
  std::vector<size_t> indexFields = FieldIndexes(names);
  SettlePending();
  m_indexFieldNames = std::move(names);
  m_indexFields = std::move(indexFields);
  std::stable_sort(m_records.begin(), m_records.end(),
                   [this](const Record& a, const Record& b) { return Less(a, b); });
  m_cursor = 0;
  m_eof = m_records.empty();
}

void PersistedTable::Create() {
  m_indexFields = FieldIndexes(m_indexFieldNames);
  m_records.clear();
  m_cursor = 0;
  m_eof = true;
  m_mode = Mode::Browse;
  m_pending.clear();
  m_created = true;
}

void PersistedTable::LoadFromFile(const std::string& path) {
  CheckCreated();
  QFile file(QtPath(path));
  if (!file.open(QIODevice::ReadOnly)) throw Error(Format("Cannot open file %s", path));
  LoadFrom(file, path);
}

void PersistedTable::SaveToFile(const std::string& path) {
  CheckCreated();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  SaveTo(buffer, path);
  SaveBytesToFile(path, bytes);
}

void PersistedTable::SaveBytesToFile(const std::string& path, const QByteArray& bytes) {
  QSaveFile file(QtPath(path));
  if (!file.open(QIODevice::WriteOnly)) throw Error(Format("Cannot create file %s", path));
  // commit() renames even after a failed flush, so a full disk would leave a torn file behind; on a
  // throw, the destructor discards the half-written temporary file.
  if (file.write(bytes) != bytes.size() || !file.flush() || file.error() != QFileDevice::NoError ||
      !file.commit()) {
    throw Error(Format("Cannot create file %s", path));
  }
  // commit() syncs the new file's bytes, not the directory entry its rename changed: without this the
  // earlier file may come back after a power failure, and a saved generator with it.
  if (!SyncDirectoryOf(file.fileName())) throw Error(Format("Cannot create file %s", path));
}

void PersistedTable::SaveBytesToFileUnflushed(const std::string& path, const QByteArray& bytes) {
  // In place: a new file and a rename would cost the file system a flush of its own (ext4 writes a
  // file renamed over another out at once), which is what the caller saves by not flushing.
  Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  bool ok = fd.Valid();
  for (qsizetype written = 0; ok && written < bytes.size();) {
    const ssize_t n = ::pwrite(fd.Get(), bytes.constData() + written,
                               static_cast<size_t>(bytes.size() - written), static_cast<off_t>(written));
    ok = n > 0;
    written += n;
  }
  if (!ok || ::ftruncate(fd.Get(), static_cast<off_t>(bytes.size())) != 0 || ::close(fd.Release()) != 0) {
    throw Error(Format("Cannot create file %s", path));
  }
}

void PersistedTable::LoadFrom(QIODevice& device, const std::string& nameForMessages) {
  CheckCreated();
  std::vector<Record> records = ReadDatapacket(device, m_fields, nameForMessages);
  std::stable_sort(records.begin(), records.end(),
                   [this](const Record& a, const Record& b) { return Less(a, b); });
  m_records = std::move(records);
  m_mode = Mode::Browse;
  m_pending.clear();
  m_cursor = 0;
  m_eof = m_records.empty();
}

void PersistedTable::SaveTo(QIODevice& device, const std::string& nameForMessages) const {
  CheckCreated();
  DatapacketWriter writer(device, m_fields);
  for (const Record& record : m_records) writer.WriteRow(record);
  if (!writer.Finish()) throw Error(Format("Cannot create file %s", nameForMessages));
}

void PersistedTable::First() {
  CheckCreated();
  SettlePending();
  m_cursor = 0;
  m_eof = m_records.empty();
}

void PersistedTable::Next() {
  CheckCreated();
  SettlePending();
  if (m_cursor + 1 < m_records.size()) {
    ++m_cursor;
    m_eof = false;
  } else {
    m_eof = true;
  }
}

bool PersistedTable::Locate(std::string_view fieldNames, const std::vector<std::string>& values) {
  CheckCreated();
  const std::vector<size_t> fields = FieldIndexes(fieldNames);
  if (fields.size() != values.size()) {
    throw Error(Format("Locate on '%s' needs one value per field", fieldNames));
  }
  SettlePending();
  for (size_t i = 0; i < m_records.size(); ++i) {
    bool match = true;
    for (size_t f = 0; match && f < fields.size(); ++f) match = SameValue(m_records[i][fields[f]], values[f]);
    if (match) {
      m_cursor = i;
      m_eof = false;
      return true;
    }
  }
  return false;
}

bool PersistedTable::Locate(std::string_view fieldName, std::string_view value) {
  return Locate(fieldName, std::vector<std::string>{std::string(value)});
}

bool PersistedTable::Locate(std::string_view fieldNames, std::initializer_list<std::string_view> values) {
  return Locate(fieldNames, std::vector<std::string>(values.begin(), values.end()));
}

std::string PersistedTable::AsStored(std::string_view field, std::string_view value) const {
  const FieldDef& def = m_fields[FieldIndex(field)];
  return def.type == FieldType::String ? CutToSize(value, def.size) : std::string(value);
}

void PersistedTable::Edit() {
  CheckCreated();
  if (m_mode != Mode::Browse) return;
  if (m_records.empty()) {
    Append();
    return;
  }
  m_pending = m_records[m_cursor];
  m_pendingAssigned = false;
  m_mode = Mode::Edit;
}

void PersistedTable::Append() {
  CheckCreated();
  SettlePending();
  m_pending.assign(m_fields.size(), FieldValue());
  m_pendingAssigned = false;
  m_mode = Mode::Append;
}

void PersistedTable::Post() {
  CheckCreated();
  if (m_mode == Mode::Browse) return;
  Record record = std::move(m_pending);
  m_pending.clear();
  if (m_mode == Mode::Edit) m_records.erase(m_records.begin() + static_cast<ptrdiff_t>(m_cursor));
  m_mode = Mode::Browse;
  m_cursor = SortedPlace(record);
  m_records.insert(m_records.begin() + static_cast<ptrdiff_t>(m_cursor), std::move(record));
  m_eof = false;
}

void PersistedTable::Delete() {
  CheckCreated();
  const Mode mode = m_mode;
  m_mode = Mode::Browse;
  m_pending.clear();
  if (mode == Mode::Append) return;
  if (m_records.empty()) throw Error("Cannot perform this operation on an empty dataset");
  m_records.erase(m_records.begin() + static_cast<ptrdiff_t>(m_cursor));
  if (m_cursor >= m_records.size() && m_cursor > 0) --m_cursor;
  m_eof = m_records.empty();
}

int PersistedTable::RecNo() const { return m_records.empty() ? 0 : static_cast<int>(m_cursor) + 1; }

int PersistedTable::RecordCount() const { return static_cast<int>(m_records.size()); }

std::string PersistedTable::FieldAsString(std::string_view field) const {
  const size_t index = FieldIndex(field);
  const Record* record = CurrentRecord();
  return record ? ValueAsString((*record)[index]) : std::string();
}

int32_t PersistedTable::FieldAsInteger(std::string_view field) const {
  const size_t index = FieldIndex(field);
  const Record* record = CurrentRecord();
  if (!record) return 0;
  const FieldValue& value = (*record)[index];
  if (const auto* text = std::get_if<std::string>(&value)) return StrToInt(*text);
  if (const auto* number = std::get_if<int32_t>(&value)) return *number;
  return 0;
}

void PersistedTable::SetFieldAsString(std::string_view field, std::string_view value) {
  const size_t index = FieldIndex(field);
  const FieldDef& def = m_fields[index];
  if (def.type == FieldType::String) {
    Assign(index, CutToSize(value, def.size));
  } else {
    Assign(index, StrToInt(value));
  }
}

void PersistedTable::SetFieldAsInteger(std::string_view field, int32_t value) {
  const size_t index = FieldIndex(field);
  const FieldDef& def = m_fields[index];
  if (def.type == FieldType::String) {
    Assign(index, CutToSize(std::to_string(value), def.size));
  } else {
    Assign(index, value);
  }
}

size_t PersistedTable::FieldIndex(std::string_view field) const {
  for (size_t i = 0; i < m_fields.size(); ++i) {
    if (SameText(m_fields[i].name, field)) return i;
  }
  throw Error(Format("Field '%s' not found", field));
}

std::vector<size_t> PersistedTable::FieldIndexes(std::string_view names) const {
  std::vector<size_t> indexes;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string_view::npos) end = names.size();
    const std::string name = Trim(names.substr(start, end - start));
    if (!name.empty()) indexes.push_back(FieldIndex(name));
    start = end + 1;
  }
  return indexes;
}

void PersistedTable::CheckCreated() const {
  if (!m_created) throw Error("Cannot perform this operation on a closed dataset");
}

void PersistedTable::CheckDefinable() const {
  if (m_created) throw Error("Cannot define a field of a table already created");
}

void PersistedTable::SettlePending() {
  if (m_mode == Mode::Browse) return;
  if (m_pendingAssigned) {
    Post();
  } else {
    m_mode = Mode::Browse;
    m_pending.clear();
  }
}

void PersistedTable::Assign(size_t field, FieldValue value) {
  if (m_mode == Mode::Browse) throw Error("Dataset not in edit or insert mode");
  m_pending[field] = std::move(value);
  m_pendingAssigned = true;
}

bool PersistedTable::Less(const Record& a, const Record& b) const {
  // std::variant orders unset before any value, strings by unsigned byte and integers numerically.
  for (const size_t field : m_indexFields) {
    if (a[field] < b[field]) return true;
    if (b[field] < a[field]) return false;
  }
  return false;
}

size_t PersistedTable::SortedPlace(const Record& record) const {
  const auto place = std::upper_bound(m_records.begin(), m_records.end(), record,
                                      [this](const Record& a, const Record& b) { return Less(a, b); });
  return static_cast<size_t>(place - m_records.begin());
}

const PersistedTable::Record* PersistedTable::CurrentRecord() const {
  if (m_mode != Mode::Browse) return &m_pending;
  return m_records.empty() ? nullptr : &m_records[m_cursor];
}

std::string PersistedTable::ValueAsString(const FieldValue& value) const {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* number = std::get_if<int32_t>(&value)) return std::to_string(*number);
  return std::string();
}

}  // namespace vespril
