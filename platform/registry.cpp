#include "platform/registry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>

namespace nimbra::registry {

namespace {

constexpr size_t kMaxKeyComponent = 255;  // as on Windows
constexpr size_t kMaxValueName = 16383;   // as on Windows

const char* const kFileHeader[] = {
    "; Nimbra per-user registry store. Format: docs/registry.md",
    "; [KEY] lines open a key; \"name\"=\"data\" lines are its values.",
};

struct ValueLine {
    std::string name;
    std::string data;
    size_t line = 0;  // index into StoreText::lines
};

struct Section {
    std::string key;  // below the root, without the root's name; "" for the root
    size_t header_line = 0;
    std::vector<ValueLine> values;
};

struct StoreText {
    bool exists = false;
    std::vector<std::string> lines;
    std::vector<Section> sections;
};

void set_detail(std::string* detail, std::string text)
{
    if (detail)
        *detail = std::move(text);
}

bool valid_key_name(std::string_view subkey)
{
    if (subkey.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t end = subkey.find('\\', start);
        std::string_view component =
            subkey.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (component.empty() || component.size() > kMaxKeyComponent ||
            component.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
            return false;
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

bool valid_value_name(std::string_view name) { return name.size() <= kMaxValueName; }

std::string full_key_name(RootKey root, std::string_view subkey)
{
    std::string name = root_key_name(root);
    if (!subkey.empty())
        name.append("\\").append(subkey);
    return name;
}

// Bytes outside printable ASCII other than GBK's high bytes, and the two characters
// that delimit a string, are written as escapes so that every value fits one line.
std::string quote(std::string_view bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

std::string value_line(std::string_view name, std::string_view data) { return quote(name) + "=" + quote(data); }

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

size_t skip_blanks(std::string_view line, size_t pos)
{
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
    return pos;
}

// Reads the quoted string starting at line[pos] == '"'. On success `pos` is just past
// the closing quote; on failure `error` says why and `pos` is where it went wrong
// (the opening quote of a string that is never closed).
bool unquote(std::string_view line, size_t& pos, std::string& out, std::string& error)
{
    const size_t opening = pos;
    ++pos;
    while (pos < line.size()) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c != '\\') {
            out += c;
            ++pos;
            continue;
        }
        if (pos + 1 >= line.size())
            break;
        char escaped = line[pos + 1];
        if (escaped == '\\' || escaped == '"') {
            out += escaped;
            pos += 2;
        } else if (escaped == 'x' && pos + 3 < line.size() && hex_digit(line[pos + 2]) >= 0 &&
                   hex_digit(line[pos + 3]) >= 0) {
            out += static_cast<char>(hex_digit(line[pos + 2]) * 16 + hex_digit(line[pos + 3]));
            pos += 4;
        } else {
            error = "unknown escape (use \\\\, \\\" or \\xHH)";
            return false;
        }
    }
    error = "string not closed";
    pos = opening;
    return false;
}

std::string_view trim(std::string_view text)
{
    size_t begin = skip_blanks(text, 0);
    size_t end = text.size();
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t'))
        --end;
    return text.substr(begin, end - begin);
}

Status parse_failure(const std::string& file, size_t line_index, size_t column, const std::string& why,
                     std::string* detail)
{
    set_detail(detail, file + ":" + std::to_string(line_index + 1) + ":" + std::to_string(column + 1) + ": " + why);
    return Status::bad_store;
}

Status parse_store(const std::string& file, RootKey root, StoreText& store, std::string* detail)
{
    const std::string root_name = root_key_name(root);
    for (size_t i = 0; i < store.lines.size(); ++i) {
        std::string_view raw = store.lines[i];
        size_t first = skip_blanks(raw, 0);
        std::string_view line = trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;

        if (line[0] == '[') {
            if (line.back() != ']')
                return parse_failure(file, i, first, "key line does not end with ']'", detail);
            std::string_view name = line.substr(1, line.size() - 2);
            std::string key;
            if (name == root_name) {
                key.clear();
            } else if (name.starts_with(root_name + "\\")) {
                key = name.substr(root_name.size() + 1);
            } else {
                return parse_failure(file, i, first + 1, "key is not under " + root_name, detail);
            }
            if (!valid_key_name(key))
                return parse_failure(file, i, first + 1, "key name has an empty part", detail);
            for (const Section& section : store.sections)
                if (section.key == key)
                    return parse_failure(
                        file, i, first, "key already given on line " + std::to_string(section.header_line + 1), detail);
            store.sections.push_back({key, i, {}});
            continue;
        }

        if (line[0] == '"') {
            if (store.sections.empty())
                return parse_failure(file, i, first, "value before the first [key] line", detail);
            size_t pos = first;
            ValueLine value;
            value.line = i;
            std::string error;
            if (!unquote(raw, pos, value.name, error))
                return parse_failure(file, i, pos, "value name: " + error, detail);
            pos = skip_blanks(raw, pos);
            if (pos >= raw.size() || raw[pos] != '=')
                return parse_failure(file, i, pos, "expected '=' after the value name", detail);
            pos = skip_blanks(raw, pos + 1);
            if (pos >= raw.size() || raw[pos] != '"')
                return parse_failure(file, i, pos, "expected a quoted string after '='", detail);
            if (!unquote(raw, pos, value.data, error))
                return parse_failure(file, i, pos, "value data: " + error, detail);
            pos = skip_blanks(raw, pos);
            if (pos != raw.size())
                return parse_failure(file, i, pos, "unexpected text after the value", detail);
            Section& section = store.sections.back();
            for (const ValueLine& other : section.values)
                if (other.name == value.name)
                    return parse_failure(file, i, first,
                                         "value already given on line " + std::to_string(other.line + 1), detail);
            section.values.push_back(std::move(value));
            continue;
        }

        return parse_failure(file, i, first, "expected a [key] line, a \"name\"=\"data\" line or a comment", detail);
    }
    return Status::ok;
}

Status read_store(const Store& owner, RootKey root, StoreText& store, std::string* detail)
{
    if (owner.directory().empty()) {
        set_detail(detail, "no home directory for the registry store");
        return Status::access_denied;
    }
    const std::string file = owner.file_for(root);
    FILE* stream = std::fopen(file.c_str(), "rb");
    if (!stream) {
        if (errno == ENOENT || errno == ENOTDIR)
            return Status::ok;  // an empty store
        set_detail(detail, file + ": " + std::strerror(errno));
        return Status::access_denied;
    }
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0)
        text.append(chunk, got);
    int read_error = std::ferror(stream) ? errno : 0;
    std::fclose(stream);
    if (read_error) {
        set_detail(detail, file + ": " + std::strerror(read_error));
        return Status::access_denied;
    }

    store.exists = true;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        store.lines.push_back(std::move(line));
        start = end + 1;
    }
    return parse_store(file, root, store, detail);
}

// Writes beside the old file and renames over it, so that a reader sees the old store or
// the new one and never half of either.
Status write_store(const Store& owner, RootKey root, const StoreText& store, std::string* detail)
{
    std::error_code error;
    std::filesystem::create_directories(owner.directory(), error);
    if (error) {
        set_detail(detail, owner.directory() + ": " + error.message());
        return Status::access_denied;
    }
    const std::string file = owner.file_for(root);
    std::string temporary = file + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        set_detail(detail, temporary + ": " + std::strerror(errno));
        return Status::access_denied;
    }
    std::string text;
    for (const std::string& line : store.lines)
        text.append(line).append("\n");
    size_t written = 0;
    int failure = 0;
    while (written < text.size() && !failure) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n > 0)
            written += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            failure = n == 0 ? EIO : errno;
    }
    if (!failure && ::fsync(fd) != 0)
        failure = errno;
    if (::close(fd) != 0 && !failure)
        failure = errno;
    if (!failure && std::rename(temporary.c_str(), file.c_str()) != 0)
        failure = errno;
    if (!failure)
        return Status::ok;
    ::unlink(temporary.c_str());
    set_detail(detail, file + ": " + std::strerror(failure));
    return Status::access_denied;
}

Section* find_section(StoreText& store, std::string_view key)
{
    for (Section& section : store.sections)
        if (section.key == key)
            return &section;
    return nullptr;
}

ValueLine* find_value(Section& section, std::string_view name)
{
    for (ValueLine& value : section.values)
        if (value.name == name)
            return &value;
    return nullptr;
}

}  // namespace

const char* describe(Status status)
{
    switch (status) {
    case Status::ok: return "success";
    case Status::not_found: return "not found";
    case Status::access_denied: return "store cannot be read or written";
    case Status::invalid_handle: return "key is not open";
    case Status::bad_store: return "store file is malformed";
    case Status::invalid_name: return "invalid key or value name";
    case Status::more_data: return "buffer too small for the value";
    }
    return "unknown status";
}

const char* root_key_name(RootKey root)
{
    switch (root) {
    case RootKey::current_user: return "HKEY_CURRENT_USER";
    }
    return "";
}

Store Store::for_current_user()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    // Relative values are invalid by the XDG rules and must be ignored.
    if (config && config[0] == '/')
        return Store(std::string(config) + "/nimbra/registry");
    const char* home = std::getenv("HOME");
    if (!home || !home[0]) {
        const passwd* entry = getpwuid(getuid());
        home = entry ? entry->pw_dir : nullptr;
    }
    if (!home || !home[0])
        return Store("");
    return Store(std::string(home) + "/.config/nimbra/registry");
}

std::string Store::file_for(RootKey root) const { return directory_ + "/" + root_key_name(root) + ".reg"; }

Status Store::open_key(RootKey root, std::string_view subkey, Key& key, std::string* detail) const
{
    close_key(key);
    if (!valid_key_name(subkey)) {
        set_detail(detail, "invalid key name: " + full_key_name(root, subkey));
        return Status::invalid_name;
    }
    StoreText store;
    if (Status status = read_store(*this, root, store, detail); status != Status::ok)
        return status;

    bool exists = subkey.empty();
    const std::string prefix = std::string(subkey) + "\\";
    for (const Section& section : store.sections) {
        if (section.key == subkey) {
            for (const ValueLine& value : section.values)
                key.values.emplace_back(value.name, value.data);
            exists = true;
        } else if (section.key.starts_with(prefix)) {
            exists = true;
        }
    }
    if (!exists) {
        set_detail(detail, file_for(root) + ": no key " + full_key_name(root, subkey));
        return Status::not_found;
    }
    key.open = true;
    return Status::ok;
}

Status Store::set_value(RootKey root, std::string_view subkey, std::string_view name, std::string_view data,
                        std::string* detail) const
{
    if (!valid_key_name(subkey) || !valid_value_name(name)) {
        set_detail(detail, "invalid key or value name: " + full_key_name(root, subkey));
        return Status::invalid_name;
    }
    StoreText store;
    if (Status status = read_store(*this, root, store, detail); status != Status::ok)
        return status;

    std::string line = value_line(name, data);
    if (Section* section = find_section(store, subkey)) {
        if (ValueLine* value = find_value(*section, name)) {
            store.lines[value->line] = std::move(line);
        } else {
            size_t after = section->values.empty() ? section->header_line : section->values.back().line;
            store.lines.insert(store.lines.begin() + static_cast<ptrdiff_t>(after + 1), std::move(line));
        }
    } else {
        if (!store.exists)
            store.lines.assign(std::begin(kFileHeader), std::end(kFileHeader));
        if (!store.lines.empty() && !trim(store.lines.back()).empty())
            store.lines.emplace_back();
        store.lines.push_back("[" + full_key_name(root, subkey) + "]");
        store.lines.push_back(std::move(line));
    }
    return write_store(*this, root, store, detail);
}

Status Store::delete_value(RootKey root, std::string_view subkey, std::string_view name, std::string* detail) const
{
    if (!valid_key_name(subkey) || !valid_value_name(name)) {
        set_detail(detail, "invalid key or value name: " + full_key_name(root, subkey));
        return Status::invalid_name;
    }
    StoreText store;
    if (Status status = read_store(*this, root, store, detail); status != Status::ok)
        return status;
    Section* section = find_section(store, subkey);
    ValueLine* value = section ? find_value(*section, name) : nullptr;
    if (!value) {
        set_detail(detail,
                   file_for(root) + ": no value \"" + std::string(name) + "\" under " + full_key_name(root, subkey));
        return Status::not_found;
    }
    store.lines.erase(store.lines.begin() + static_cast<ptrdiff_t>(value->line));
    return write_store(*this, root, store, detail);
}

Status query_value(const Key& key, std::string_view name, char* data, uint32_t& size)
{
    if (!key.open)
        return Status::invalid_handle;
    for (const auto& [value_name, value_data] : key.values) {
        if (value_name != name)
            continue;
        if (value_data.size() >= UINT32_MAX)
            return Status::more_data;
        const uint32_t needed = static_cast<uint32_t>(value_data.size()) + 1;
        if (!data) {
            size = needed;
            return Status::ok;
        }
        if (size < needed) {
            size = needed;
            return Status::more_data;
        }
        std::memcpy(data, value_data.data(), value_data.size());
        data[value_data.size()] = '\0';
        size = needed;
        return Status::ok;
    }
    return Status::not_found;
}

void close_key(Key& key)
{
    key.open = false;
    key.values.clear();
}

}  // namespace nimbra::registry
