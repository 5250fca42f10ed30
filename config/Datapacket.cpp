// The writer is hand-made: QXmlStreamWriter writes UTF-8 behind its own declaration and can't give the
// exact one-line, plain-ASCII layout that the configuration files must have.
#include "config/Datapacket.h"

#include <algorithm>

#include <QFileDevice>
#include <QIODevice>
#include <QXmlStreamReader>

#include "foundation/Error.h"
#include "foundation/Text.h"

namespace vespril {

namespace {

constexpr size_t kFlushAt = 16 * 1024;

// XML 1.0 forbids references to most control characters, yet the layout writes every byte below 32
// as one, and a parser refuses them. Before parsing, such references are moved to private-use code
// points, which ISO-8859-1 text never holds, and mapped back to their bytes when a value is read.
constexpr char16_t kControlBase = 0xE000;

bool IsForbiddenControl(uint32_t code) { return code < 32 && code != 9 && code != 10 && code != 13; }

int DigitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

QByteArray ProtectControlReferences(const QByteArray& data) {
  QByteArray out;
  out.reserve(data.size() + data.size() / 8);
  qsizetype pos = 0;
  for (qsizetype hit; (hit = data.indexOf("&#", pos)) >= 0;) {
    qsizetype at = hit + 2;
    const bool hex = at < data.size() && data[at] == 'x';
    if (hex) ++at;
    const qsizetype digitsStart = at;
    uint32_t code = 0;
    for (int digit; at < data.size() && (digit = DigitValue(data[at], hex)) >= 0; ++at) {
      code = std::min<uint32_t>(code * (hex ? 16 : 10) + static_cast<uint32_t>(digit), 0x110000);
    }
    const bool complete = at > digitsStart && at < data.size() && data[at] == ';';
    out.append(data.constData() + pos, hit - pos);
    if (complete && IsForbiddenControl(code)) {
      out.append("&#").append(QByteArray::number(kControlBase + code)).append(';');
      pos = at + 1;
    } else {
      out.append("&#");
      pos = hit + 2;
    }
  }
  out.append(data.constData() + pos, data.size() - pos);
  return out;
}

std::optional<FieldType> TypeNamed(QStringView fieldtype) {
  if (fieldtype == QLatin1String("string")) return FieldType::String;
  if (fieldtype == QLatin1String("i4")) return FieldType::Integer;
  return std::nullopt;
}

class PacketReader {
 public:
  PacketReader(const QByteArray& data, const std::vector<FieldDef>& fields, std::string_view name)
      : m_xml(data), m_fields(fields), m_name(name) {}

  std::vector<std::vector<FieldValue>> Read() {
    if (!NextChild() || m_xml.name() != QLatin1String("DATAPACKET")) Fail("it is not a datapacket");
    bool haveFields = false;
    while (NextChild()) {
      if (m_xml.name() == QLatin1String("METADATA") && !haveFields) {
        ReadMetadata();
        haveFields = true;
      } else if (m_xml.name() == QLatin1String("ROWDATA") && haveFields) {
        ReadRows();
      } else {
        FailUnexpected();
      }
    }
    if (!haveFields) Fail("it holds no field definitions");
    // Whatever follows the packet must still be well-formed: a torn or doubled file is damaged.
    while (!m_xml.atEnd()) m_xml.readNext();
    if (m_xml.hasError()) FailXml();
    return std::move(m_rows);
  }

 private:
  [[noreturn]] void Fail(std::string_view why) const {
    throw Error("Cannot read file " + std::string(m_name) + ": " + std::string(why));
  }

  [[noreturn]] void FailXml() const {
    Fail("XML error at line " + std::to_string(m_xml.lineNumber()) + ", column " +
         std::to_string(m_xml.columnNumber()) + ": " + m_xml.errorString().toStdString());
  }

  [[noreturn]] void FailUnexpected() const {
    Fail("unexpected element <" + m_xml.qualifiedName().toString().toStdString() + ">");
  }

  // The next child element of the current one; false at the current element's end.
  bool NextChild() {
    const bool found = m_xml.readNextStartElement();
    if (m_xml.hasError()) FailXml();
    return found;
  }

  void Skip() {
    m_xml.skipCurrentElement();
    if (m_xml.hasError()) FailXml();
  }

  void ReadMetadata() {
    bool haveFields = false;
    while (NextChild()) {
      if (m_xml.name() == QLatin1String("FIELDS") && !haveFields) {
        ReadFields();
        haveFields = true;
      } else {
        Skip();  // PARAMS and whatever else describes the packet, not its values
      }
    }
    if (!haveFields) Fail("it holds no field definitions");
  }

  void ReadFields() {
    bool match = true;
    while (NextChild()) {
      if (m_xml.name() != QLatin1String("FIELD")) FailUnexpected();
      const QXmlStreamAttributes attributes = m_xml.attributes();
      const QString attrname = attributes.value(QLatin1String("attrname")).toString();
      const auto type = TypeNamed(attributes.value(QLatin1String("fieldtype")));
      const size_t at = m_attrNames.size();
      match = match && at < m_fields.size() && type == m_fields[at].type &&
              SameText(attrname.toLatin1().toStdString(), m_fields[at].name);
      m_attrNames.push_back(attrname);
      Skip();
    }
    if (!match || m_attrNames.size() != m_fields.size()) Fail("its fields do not match the table's fields");
  }

  void ReadRows() {
    while (NextChild()) {
      if (m_xml.name() != QLatin1String("ROW")) FailUnexpected();
      std::vector<FieldValue> row(m_fields.size());
      for (const QXmlStreamAttribute& attribute : m_xml.attributes()) {
        const QStringView attrName = attribute.qualifiedName();
        size_t field = 0;
        while (field < m_attrNames.size() && m_attrNames[field] != attrName) ++field;
        if (field == m_attrNames.size()) {
          if (attrName == QLatin1String("RowState")) continue;
          Fail("a row holds the attribute " + attrName.toString().toStdString() + ", which is not a field");
        }
        row[field] = Convert(field, attribute.value());
      }
      if (NextChild()) FailUnexpected();
      m_rows.push_back(std::move(row));
    }
  }

  FieldValue Convert(size_t field, QStringView value) const {
    const FieldDef& def = m_fields[field];
    std::string text;
    text.reserve(value.size());
    for (const QChar c : value) {
      const char16_t code = c.unicode();
      if (code <= 0xFF) {
        text.push_back(static_cast<char>(code));
      } else if (code >= kControlBase && code < kControlBase + 32) {
        text.push_back(static_cast<char>(code - kControlBase));
      } else {
        Fail("the value of field " + def.name + " holds a character outside ISO-8859-1");
      }
    }
    if (def.type == FieldType::String) {
      if (text.size() > static_cast<size_t>(def.size)) text.resize(def.size);
      return text;
    }
    int32_t number = 0;
    if (!TryStrToInt(text, number)) Fail(Format("'%s' is not a valid integer value", text));
    return number;
  }

  QXmlStreamReader m_xml;
  const std::vector<FieldDef>& m_fields;
  std::string_view m_name;
  std::vector<QString> m_attrNames;  // as the file spells them, which its rows repeat exactly
  std::vector<std::vector<FieldValue>> m_rows;
};

}  // namespace

DatapacketWriter::DatapacketWriter(QIODevice& device, const std::vector<FieldDef>& fields)
    : m_device(device), m_fields(fields) {
  m_buffer = "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>";
  for (const FieldDef& field : fields) {
    m_buffer += "<FIELD attrname=\"";
    AppendEscaped(field.name);
    if (field.type == FieldType::String) {
      m_buffer += "\" fieldtype=\"string\" WIDTH=\"" + std::to_string(field.size) + "\"/>";
    } else {
      m_buffer += "\" fieldtype=\"i4\"/>";
    }
  }
  m_buffer += "</FIELDS><PARAMS/></METADATA><ROWDATA>";
}

void DatapacketWriter::WriteRow(const std::vector<FieldValue>& row) {
  m_buffer += "<ROW";
  for (size_t i = 0; i < m_fields.size(); ++i) {
    if (std::holds_alternative<std::monostate>(row[i])) continue;
    m_buffer += ' ';
    AppendEscaped(m_fields[i].name);
    m_buffer += "=\"";
    if (const auto* text = std::get_if<std::string>(&row[i])) {
      AppendEscaped(*text);
    } else {
      m_buffer += std::to_string(std::get<int32_t>(row[i]));
    }
    m_buffer += '"';
  }
  m_buffer += "/>";
  FlushIfFull();
}

bool DatapacketWriter::Finish() {
  m_buffer += "</ROWDATA></DATAPACKET>";
  Flush();
  return !m_failed;
}

void DatapacketWriter::AppendEscaped(std::string_view value) {
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '&':
        m_buffer += "&amp;";
        break;
      case '<':
        m_buffer += "&lt;";
        break;
      case '>':
        m_buffer += "&gt;";
        break;
      case '"':
        m_buffer += "&quot;";
        break;
      default:
        if (byte < 32 || byte > 126) {
          m_buffer += "&#" + std::to_string(byte) + ";";
        } else {
          m_buffer += c;
        }
    }
  }
}

void DatapacketWriter::FlushIfFull() {
  if (m_buffer.size() >= kFlushAt) Flush();
}

void DatapacketWriter::Flush() {
  // A device may take fewer bytes than offered; only a refusal to take any more is a failure.
  const char* data = m_buffer.data();
  qint64 left = static_cast<qint64>(m_buffer.size());
  while (!m_failed && left > 0) {
    const qint64 written = m_device.write(data, left);
    if (written <= 0) {
      m_failed = true;
    } else {
      data += written;
      left -= written;
    }
  }
  m_buffer.clear();
}

std::vector<std::vector<FieldValue>> ReadDatapacket(QIODevice& device, const std::vector<FieldDef>& fields,
                                                    std::string_view name) {
  const QByteArray data = device.readAll();
  if (const auto* file = qobject_cast<const QFileDevice*>(&device);
      file && file->error() != QFileDevice::NoError) {
    throw Error("Cannot read file " + std::string(name) + ": " + file->errorString().toStdString());
  }
  if (data.isEmpty()) throw Error("Cannot read file " + std::string(name) + ": the file is empty");
  return PacketReader(ProtectControlReferences(data), fields, name).Read();
}

}  // namespace vespril
