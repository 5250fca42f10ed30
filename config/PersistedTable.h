// PersistedTable: a small in-memory table with typed fields, kept sorted by its index fields, with one
// cursor, a case-insensitive locate, record-by-record editing, and an explicit save to / load from an
// XML datapacket file. Not thread-safe: its owner serialises access (the engine under its lock).
//
// Values are single-byte text (ISO-8859-1). A value may be unset: a freshly appended record's field
// that was never assigned reads "" as text and 0 as an integer, and stays unset through save and load.
// Nothing is written to disk except by SaveToFile; saves are atomic (the old file survives a failure).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class QByteArray;
class QIODevice;

namespace vespril {

enum class FieldType { String, Integer };

struct FieldDef {
  std::string name;
  FieldType type = FieldType::String;
  int size = 0;  // characters, string fields only
};

// One value of a record: unset, the text of a string field, or the number of an integer field.
using FieldValue = std::variant<std::monostate, std::string, int32_t>;

class PersistedTable {
 public:
  PersistedTable() = default;
  PersistedTable(PersistedTable&&) = default;
  PersistedTable& operator=(PersistedTable&&) = default;
  PersistedTable& operator=(const PersistedTable&) = delete;
  // A copy of the whole table, cursor and pending edit included; copies are never made by accident.
  PersistedTable Clone() const { return PersistedTable(*this); }

  // Definition, before Create.
  void DefineStringField(std::string name, int size);
  void DefineIntegerField(std::string name);
  void SetFileName(std::string path) { m_fileName = std::move(path); }
  const std::string& FileName() const { return m_fileName; }
  // One field name or several joined by ";" ("Tabela;Registro"); records stay in ascending order of
  // these fields, compared from the left (strings byte by byte, case-sensitively; unset first).
  void SetIndexFieldNames(std::string names);
  const std::string& IndexFieldNames() const { return m_indexFieldNames; }
  const std::vector<FieldDef>& Fields() const { return m_fields; }

  // Makes the table usable with no records; the cursor is at the end.
  void Create();

  // Replaces the records with those of the file, sorted; the cursor stands on the first record.
  // Never writes the file. Throws Error "Cannot open file <path>" when it can't be opened, and a
  // message naming the file when it is empty, damaged or its fields don't match the table's.
  void LoadFromFile(const std::string& path);
  // Writes the field definitions and every record, replacing the file atomically and durably (the file
  // and its directory entry are on disk when it returns). Throws Error "Cannot create file <path>" on
  // failure; the earlier file content then survives, unless only the final directory flush failed.
  void SaveToFile(const std::string& path);
  // What SaveToFile does with the bytes SaveTo gave: they replace the file at path atomically and
  // durably. For a caller that takes the bytes under its lock and writes them outside it.
  static void SaveBytesToFile(const std::string& path, const QByteArray& bytes);
  // The same bytes written over the file in place, without a flush: cheap, but a crash in the middle
  // may leave the file torn, and a power failure may leave any mix of old and new. Only for files whose
  // content is also kept durably elsewhere, to mend them from after a crash.
  static void SaveBytesToFileUnflushed(const std::string& path, const QByteArray& bytes);
  // The same over a device; `nameForMessages` stands in the messages where the file name would.
  void LoadFrom(QIODevice& device, const std::string& nameForMessages);
  void SaveTo(QIODevice& device, const std::string& nameForMessages) const;

  // Cursor. Moving posts a pending edit or append first (dropping one where no field was assigned).
  // First on an empty table, and Next past the last record, set Eof; Next leaves the cursor on the last.
  void First();
  void Next();
  bool Eof() const { return m_eof; }
  // Finds the first record, in index order, whose named fields (one name, or two joined by ";") equal
  // the values as whole values without regard to letter case. Found: the cursor moves there and Eof
  // clears. Not found: the cursor and Eof stay. Values may hold any byte, a single quote included;
  // an unset value equals "". A text longer than a string field matches nothing: a writer that locates
  // before it stores cuts its text with AsStored first. Throws Error when the number of values differs
  // from that of the names.
  bool Locate(std::string_view fieldNames, const std::vector<std::string>& values);
  bool Locate(std::string_view fieldName, std::string_view value);
  // Makes the braced form Locate("Servidor;Tabela", {nome, tabela}) unambiguous.
  bool Locate(std::string_view fieldNames, std::initializer_list<std::string_view> values);

  // The text as the field would store it: cut to a string field's size, unchanged otherwise.
  std::string AsStored(std::string_view field, std::string_view value) const;

  // Editing. A field is assigned only between Edit/Append and Post; assigning while browsing throws.
  void Edit();    // begins a change of the current record (an empty table appends instead)
  void Append();  // begins a new, empty record (posting or dropping a pending one first)
  // Completes the pending record, even one with nothing assigned, and places it after every record
  // whose index fields equal its own; the cursor stands on it and Eof clears. Browsing: does nothing.
  void Post();
  // Removes the current record; the cursor moves to the one after (or before) it. While appending it
  // drops the new record instead; while editing it drops the change and removes the record. Throws
  // Error "Cannot perform this operation on an empty dataset" when there is no record.
  void Delete();

  int RecNo() const;  // 1-based position of the current record in index order; 0 when empty
  int RecordCount() const;

  // Reading the current record (or the pending one while editing or appending); "" or 0 when there
  // is none. An unknown field name throws Error naming it, here and in the setters.
  std::string FieldAsString(std::string_view field) const;
  // Integer fields: their value (0 when unset). String fields: their text as a decimal integer,
  // or Error "'<text>' is not a valid integer value".
  int32_t FieldAsInteger(std::string_view field) const;
  // Texts longer than a string field's size are cut to that size; an integer field takes the text
  // as a decimal integer (or throws as FieldAsInteger does).
  void SetFieldAsString(std::string_view field, std::string_view value);
  // A string field takes the decimal text of the value.
  void SetFieldAsInteger(std::string_view field, int32_t value);

 private:
  PersistedTable(const PersistedTable&) = default;

  enum class Mode { Browse, Edit, Append };
  using Record = std::vector<FieldValue>;

  size_t FieldIndex(std::string_view field) const;
  std::vector<size_t> FieldIndexes(std::string_view names) const;
  void CheckCreated() const;
  void CheckDefinable() const;
  // Posts a pending change before a move, or drops it when nothing was assigned.
  void SettlePending();
  void Assign(size_t field, FieldValue value);
  bool Less(const Record& a, const Record& b) const;
  size_t SortedPlace(const Record& record) const;
  const Record* CurrentRecord() const;
  std::string ValueAsString(const FieldValue& value) const;

  std::vector<FieldDef> m_fields;
  std::string m_fileName;
  std::string m_indexFieldNames;
  std::vector<size_t> m_indexFields;
  std::vector<Record> m_records;
  size_t m_cursor = 0;  // index into m_records; meaningful while not empty
  bool m_eof = true;
  bool m_created = false;
  Mode m_mode = Mode::Browse;
  Record m_pending;
  bool m_pendingAssigned = false;
};

}  // namespace vespril
