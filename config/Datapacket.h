// The on-disk form of a persisted table: an XML datapacket of one line, plain ASCII, holding the
// field definitions and one ROW element per record. DatapacketWriter produces the layout byte for
// byte; ReadDatapacket accepts any well-formed packet of that layout whose fields match the table's.
// Both work on a QIODevice owned by the caller, which must outlive them; one thread at a time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/PersistedTable.h"

class QIODevice;

namespace vespril {

// Streams one packet to a device: the metadata on construction, then each row as it is given. Output
// is buffered in small blocks, so a table of any size needs no more memory than one block.
class DatapacketWriter {
 public:
  DatapacketWriter(QIODevice& device, const std::vector<FieldDef>& fields);
  DatapacketWriter(const DatapacketWriter&) = delete;
  DatapacketWriter& operator=(const DatapacketWriter&) = delete;

  // REQUIRES: row holds one value per field, of the field's type (or unset).
  void WriteRow(const std::vector<FieldValue>& row);
  // Closes the packet and writes what is buffered. False when any write to the device failed or
  // came up short: the device then holds an incomplete packet.
  bool Finish();

 private:
  void AppendEscaped(std::string_view value);
  void FlushIfFull();
  void Flush();

  QIODevice& m_device;
  const std::vector<FieldDef>& m_fields;
  std::string m_buffer;
  bool m_failed = false;
};

// Reads every row of a packet. The file's fields must match `fields` in number, order, name (ignoring
// letter case) and type; their widths may differ, and texts longer than a field's size are cut to it.
// Throws Error "Cannot read file <name>: <why>" when the device is empty, the XML is not well-formed,
// the fields don't match, or a value can't be held by its field.
std::vector<std::vector<FieldValue>> ReadDatapacket(QIODevice& device, const std::vector<FieldDef>& fields,
                                                    std::string_view name);

}  // namespace vespril
