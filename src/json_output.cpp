#include "json_output.hpp"

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

// An image field's bytes, each as the character of the same code (0xE9 is
// "é", NUL is "\u0000"), so that nothing is lost and the text is valid UTF-8.
std::string bytes_as_characters(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

// The dumped document with every character outside 0x20 to 0x7E in the
// \u00XX form: the library writes \b, \t, \n, \f and \r for five control
// characters and leaves DEL as it is. Outside strings a JSON text holds
// neither backslashes nor control characters, so a plain scan is enough.
std::string as_printable_ascii(const std::string& dumped) {
    static const char kHex[] = "0123456789abcdef";
    std::string ascii;
    ascii.reserve(dumped.size());
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        const char c = dumped[i];
        char code = 0;
        if (c == '\\' && i + 1 < dumped.size()) {
            switch (dumped[i + 1]) {
                case 'b': code = '\b'; break;
                case 't': code = '\t'; break;
                case 'n': code = '\n'; break;
                case 'f': code = '\f'; break;
                case 'r': code = '\r'; break;
                default:  // any other escape is kept whole
                    ascii.append(dumped, i, 2);
                    ++i;
                    continue;
            }
            ++i;
        } else if (c == '\x7F') {
            code = c;
        } else {
            ascii.push_back(c);
            continue;
        }
        const unsigned value = static_cast<unsigned char>(code);
        ascii += "\\u00";
        ascii.push_back(kHex[value >> 4]);
        ascii.push_back(kHex[value & 0x0F]);
    }
    return ascii;
}

const char* emulation_name(unsigned emulation) {
    switch (emulation) {
        case 0: return "none";
        case 1: return "1.2M floppy";
        case 2: return "1.44M floppy";
        case 3: return "2.88M floppy";
        case 4: return "hard disk";
        default: return "unknown";
    }
}

template <typename T>
Json optional_text(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json system_area_json(const SystemArea& area) {
    Json partitions = Json::array();
    for (const Partition& p : area.partitions) {
        partitions.push_back({{"number", p.number}, {"bootable", p.bootable()}, {"type", p.type},
                              {"first_sector", p.first_sector}, {"sectors", p.sectors}});
    }
    return {{"mbr_signature", area.mbr_signature}, {"partitions", partitions}, {"gpt", area.gpt}};
}

Json primary_volume_json(const PrimaryVolume& v) {
    return {{"sector", v.sector},
            {"system_identifier", bytes_as_characters(v.system_identifier)},
            {"volume_identifier", bytes_as_characters(v.volume_identifier)},
            {"volume_set_identifier", bytes_as_characters(v.volume_set_identifier)},
            {"publisher_identifier", bytes_as_characters(v.publisher_identifier)},
            {"data_preparer_identifier", bytes_as_characters(v.data_preparer_identifier)},
            {"application_identifier", bytes_as_characters(v.application_identifier)},
            {"logical_block_size", v.logical_block_size},
            {"volume_space_size", v.volume_space_size},
            {"path_table_sector", v.path_table_sector},
            {"root_directory_sector", v.root_directory_sector}};
}

Json boot_info_table_json(const std::optional<BootInfoTable>& table) {
    if (!table) {
        return nullptr;
    }
    const std::optional<bool> valid = table->checksum_valid();
    return {{"pvd_sector", table->pvd_sector}, {"file_sector", table->file_sector},
            {"length", table->length}, {"checksum", table->checksum},
            {"checksum_valid", valid ? Json(*valid) : Json(nullptr)}};
}

Json entry_json(const BootEntry& e) {
    return {{"section", e.section},
            {"platform_id", e.platform_id},
            {"boot_indicator", e.boot_indicator},
            {"bootable", e.bootable()},
            {"media_type", e.media_type},
            {"emulation", emulation_name(e.emulation())},
            {"load_segment", e.load_segment},
            {"system_type", e.system_type},
            {"sector_count", e.sector_count},
            {"load_sector", e.load_sector},
            {"selection_criteria", e.selection_criteria},
            {"boot_info_table", boot_info_table_json(e.boot_info_table)},
            {"extensions", e.extensions},
            {"file", optional_text(e.file)}};
}

Json boot_catalog_json(const BootCatalog& c) {
    Json validation = nullptr;
    if (c.validation_entry) {
        const ValidationEntry& v = *c.validation_entry;
        validation = {{"header_id", v.header_id}, {"platform_id", v.platform_id},
                      {"id_string", bytes_as_characters(v.id_string)},
                      {"checksum_valid", v.checksum_valid()}, {"key_valid", v.key_valid()},
                      {"checksum", v.checksum}};
    }
    Json sections = Json::array();
    for (const SectionHeader& s : c.sections) {
        sections.push_back({{"header_indicator", s.header_indicator}, {"platform_id", s.platform_id},
                            {"entry_count", s.entry_count},
                            {"id_string", bytes_as_characters(s.id_string)}});
    }
    Json entries = Json::array();
    for (const BootEntry& e : c.entries) {
        entries.push_back(entry_json(e));
    }
    return {{"sector", c.sector}, {"validation_entry", validation}, {"sections", sections},
            {"entries", entries}, {"file", optional_text(c.file)}};
}

}  // namespace

std::string model_json(const ImageModel& m) {
    Json doc;
    doc["image"] = m.path;
    doc["image_size"] = m.size_known ? Json(m.image_size) : Json(nullptr);
    doc["system_area"] = m.system_area ? system_area_json(*m.system_area) : Json(nullptr);
    Json descriptors = Json::array();
    for (const VolumeDescriptorInfo& d : m.volume_descriptors) {
        descriptors.push_back({{"sector", d.sector}, {"type", d.type},
                               {"identifier", bytes_as_characters(d.identifier)},
                               {"version", d.version}});
    }
    doc["volume_descriptors"] = descriptors;
    doc["primary_volume"] = m.primary_volume ? primary_volume_json(*m.primary_volume) : Json(nullptr);
    Json record = nullptr;
    if (m.boot_record && m.boot_record->el_torito) {
        record = {{"sector", m.boot_record->sector},
                  {"boot_system_identifier", bytes_as_characters(m.boot_record->boot_system_identifier)},
                  {"catalog_sector", m.boot_record->catalog_sector}};
    }
    doc["boot_record"] = record;
    doc["boot_catalog"] = m.boot_catalog ? boot_catalog_json(*m.boot_catalog) : Json(nullptr);
    Json findings = Json::array();
    for (const Finding& f : m.findings) {
        findings.push_back({{"severity", f.severity == Severity::error ? "error" : "warning"},
                            {"where", f.where}, {"message", f.message}});
    }
    doc["findings"] = findings;
    // ensure_ascii escapes everything above 0x7F; the path's bytes that are
    // not UTF-8 become U+FFFD.
    return as_printable_ascii(doc.dump(-1, ' ', true, Json::error_handler_t::replace));
}
