// PersistedTable: a small in-memory table with typed fields, kept sorted by its index fields, with one
// cursor, a case-insensitive locate, record-by-record editing, and an explicit save to / load from an
// XML datapacket file. The engine owns its four configuration tables; all access is on the GUI thread.
//
// Values are single-byte text (ISO-8859-1). A value may be unset: a freshly appended record's field
// that was never assigned reads "" as text and 0 as an integer, and stays unset through save and load.
// Nothing is written to disk except by SaveToFile; saves are atomic (the old file survives a failure).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QIODevice;

namespace vespril {

enum class FieldType { String, Integer };

struct FieldDef {
  std::string name;
  FieldType type = FieldType::String;
  int size = 0;  // characters, string fields only
};

class PersistedTable {
 public:
  PersistedTable() = default;
  PersistedTable(PersistedTable&&) = default;
  PersistedTable& operator=(PersistedTable&&) = default;
  PersistedTable(const PersistedTable&) = delete;
  PersistedTable& operator=(const PersistedTable&) = delete;

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
  // Writes the field definitions and every record, replacing the file atomically. Throws Error
  // "Cannot create file <path>" on failure; the earlier file content then survives.
  void SaveToFile(const std::string& path);
  // The same over a device; `nameForMessages` stands in the messages where the file name would.
  void LoadFrom(QIODevice& device, const std::string& nameForMessages);
  void SaveTo(QIODevice& device, const std::string& nameForMessages) const;

  // Cursor. Moving posts a pending edit or append first (dropping one where no field was assigned).
  void First();
  void Next();
  bool Eof() const { return m_eof; }
  // Finds the first record, in index order, whose named fields (one name, or two joined by ";") equal
  // the values as whole values without regard to letter case. Found: the cursor moves there. Not
  // found: the cursor stays. Values may hold any byte, a single quote included.
  bool Locate(std::string_view fieldNames, const std::vector<std::string>& values);
  bool Locate(std::string_view fieldName, std::string_view value);

  // Editing. A field is assigned only between Edit/Append and Post.
  void Edit();    // begins a change of the current record (an empty table appends instead)
  void Append();  // begins a new, empty record
  void Post();    // completes it; the cursor stands on the record at its sorted place
  void Delete();  // removes the current record; the cursor moves to the one after (or before) it

  int RecNo() const;  // 1-based position of the current record in index order; 0 when empty
  int RecordCount() const;

  // Reading the current record (or the pending one while editing or appending).
  std::string FieldAsString(std::string_view field) const;
  // Integer fields: their value (0 when unset). String fields: their text as a decimal integer,
  // or Error "'<text>' is not a valid integer value".
  int32_t FieldAsInteger(std::string_view field) const;
  // Texts longer than a string field's size are cut to that size.
  void SetFieldAsString(std::string_view field, std::string_view value);
  void SetFieldAsInteger(std::string_view field, int32_t value);

 private:
  enum class Mode { Browse, Edit, Append };
  struct Value {
    std::optional<std::string> text;  // string fields
    std::optional<int32_t> integer;   // integer fields
  };
  using Record = std::vector<Value>;

  int FieldIndex(std::string_view field) const;
  void CheckBrowseMode();
  bool Less(const Record& a, const Record& b) const;
  size_t SortedPlace(const Record& record) const;
  const Record* CurrentRecord() const;

  std::vector<FieldDef> m_fields;
  std::string m_fileName;
  std::string m_indexFieldNames;
  std::vector<int> m_indexFields;
  std::vector<Record> m_records;
  size_t m_cursor = 0;  // index into m_records; meaningful while not empty
  bool m_eof = true;
  bool m_created = false;
  Mode m_mode = Mode::Browse;
  Record m_pending;
  bool m_pendingAssigned = false;
};

}  // namespace vespril
