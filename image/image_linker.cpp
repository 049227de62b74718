#include "image/image_linker.h"

#include "image/code_linkage.h"
#include "runtime/service_abi.h"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string_view>
#include <unordered_map>

namespace qx {

namespace {

constexpr std::string_view kStubPrefix = "qx_stub_";
constexpr std::string_view kMarkSection = ".qx_marks";
constexpr uint32_t kMarkEntrySize = 16;
constexpr uint32_t kGlobalSize = 8;  // one pointer
constexpr uint8_t kCodePadding = 0xcc;

enum class Region { None, Code, Const, Var, Marks, Writable };

// Where a symbol or a section's byte ends up.
struct Target {
    Region region = Region::None;
    uint64_t offset = 0;  // inside the region's data
};

struct ObjectSection {
    Elf64_Shdr header{};
    std::string name;
    Region region = Region::None;
    uint64_t base = 0;  // offset of the section's first byte in its region
    bool discarded = false;
};

struct ObjectSymbol {
    Elf64_Sym sym{};
    std::string name;
};

struct ParsedObject {
    const ObjectFile* file = nullptr;
    std::vector<ObjectSection> sections;
    std::vector<ObjectSymbol> symbols;
};

std::string relocation_type_name(uint32_t type)
{
    switch (type) {
    case R_X86_64_64: return "R_X86_64_64";
    case R_X86_64_PC32: return "R_X86_64_PC32";
    case R_X86_64_GOT32: return "R_X86_64_GOT32";
    case R_X86_64_PLT32: return "R_X86_64_PLT32";
    case R_X86_64_GOTPCREL: return "R_X86_64_GOTPCREL";
    case R_X86_64_32: return "R_X86_64_32";
    case R_X86_64_32S: return "R_X86_64_32S";
    case R_X86_64_16: return "R_X86_64_16";
    case R_X86_64_PC16: return "R_X86_64_PC16";
    case R_X86_64_8: return "R_X86_64_8";
    case R_X86_64_PC8: return "R_X86_64_PC8";
    case R_X86_64_TPOFF32: return "R_X86_64_TPOFF32";
    case R_X86_64_PC64: return "R_X86_64_PC64";
    case R_X86_64_GOTPCRELX: return "R_X86_64_GOTPCRELX";
    case R_X86_64_REX_GOTPCRELX: return "R_X86_64_REX_GOTPCRELX";
    }
    return "type " + std::to_string(type);
}

// ---- reading ELF ----

class ElfReader {
public:
    explicit ElfReader(const ObjectFile& file) : file_(file) {}

    template <typename T>
    T read(uint64_t offset, const char* what) const
    {
        if (offset > file_.bytes.size() || sizeof(T) > file_.bytes.size() - offset)
            fail(std::string(what) + " at offset " + std::to_string(offset) + " lies past the end of the file");
        T value;
        std::memcpy(&value, file_.bytes.data() + offset, sizeof(T));
        return value;
    }

    std::span<const uint8_t> bytes(uint64_t offset, uint64_t size, const std::string& what) const
    {
        if (offset > file_.bytes.size() || size > file_.bytes.size() - offset)
            fail(what + " (offset " + std::to_string(offset) + ", " + std::to_string(size) +
                 " bytes) lies past the end of the file");
        return {file_.bytes.data() + offset, size};
    }

    std::string text(std::span<const uint8_t> table, uint64_t offset, const char* what) const
    {
        if (offset >= table.size())
            fail(std::string(what) + " name offset " + std::to_string(offset) + " lies outside its string table");
        auto* start = reinterpret_cast<const char*>(table.data() + offset);
        return std::string(start, strnlen(start, table.size() - offset));
    }

    [[noreturn]] void fail(const std::string& problem) const
    {
        throw LinkError("object " + file_.name + ": " + problem);
    }

private:
    const ObjectFile& file_;
};

ParsedObject parse_object(const ObjectFile& file)
{
    ElfReader r(file);
    auto eh = r.read<Elf64_Ehdr>(0, "ELF header");
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0)
        r.fail("not an ELF file");
    if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB)
        r.fail("not a little-endian ELF64 object");
    if (eh.e_type != ET_REL)
        r.fail("not a relocatable object (e_type " + std::to_string(eh.e_type) + ")");
    if (eh.e_machine != EM_X86_64)
        r.fail("not an x86-64 object (e_machine " + std::to_string(eh.e_machine) + ")");
    if (eh.e_shentsize != sizeof(Elf64_Shdr))
        r.fail("unexpected section header size " + std::to_string(eh.e_shentsize));

    ParsedObject obj;
    obj.file = &file;
    obj.sections.resize(eh.e_shnum);
    for (size_t i = 0; i < eh.e_shnum; ++i)
        obj.sections[i].header = r.read<Elf64_Shdr>(eh.e_shoff + i * sizeof(Elf64_Shdr), "section header");
    if (eh.e_shstrndx >= obj.sections.size())
        r.fail("section name table index out of range");
    const auto& names_header = obj.sections[eh.e_shstrndx].header;
    auto names = r.bytes(names_header.sh_offset, names_header.sh_size, "section name table");
    for (auto& s : obj.sections)
        s.name = r.text(names, s.header.sh_name, "section");

    for (const auto& s : obj.sections) {
        if (s.header.sh_type != SHT_SYMTAB)
            continue;
        if (s.header.sh_link >= obj.sections.size())
            r.fail("symbol table's string table index out of range");
        const auto& strings_header = obj.sections[s.header.sh_link].header;
        auto strings = r.bytes(strings_header.sh_offset, strings_header.sh_size, "symbol string table");
        size_t count = s.header.sh_size / sizeof(Elf64_Sym);
        obj.symbols.resize(count);
        for (size_t i = 0; i < count; ++i) {
            obj.symbols[i].sym = r.read<Elf64_Sym>(s.header.sh_offset + i * sizeof(Elf64_Sym), "symbol");
            obj.symbols[i].name = r.text(strings, obj.symbols[i].sym.st_name, "symbol");
        }
    }
    return obj;
}

// The name of the symbol whose bytes hold `offset` of section `s`, for messages.
std::string data_symbol_at(const ParsedObject& obj, const ObjectSection& s, uint64_t offset)
{
    for (const auto& sym : obj.symbols) {
        if (sym.sym.st_shndx >= obj.sections.size() || &obj.sections[sym.sym.st_shndx] != &s)
            continue;
        unsigned type = ELF64_ST_TYPE(sym.sym.st_info);
        if (type != STT_SECTION && offset >= sym.sym.st_value && offset < sym.sym.st_value + sym.sym.st_size)
            return sym.name;
    }
    return s.name + "+" + std::to_string(offset);
}

std::span<const uint8_t> section_bytes(const ParsedObject& obj, const ObjectSection& s)
{
    if (s.header.sh_type == SHT_NOBITS)
        return {};
    return ElfReader(*obj.file).bytes(s.header.sh_offset, s.header.sh_size, "section " + s.name);
}

// ---- the link ----

class Linker {
public:
    Linker(const std::vector<ObjectFile>& files, const ImageRecipe& recipe) : recipe_(recipe)
    {
        for (const auto& f : files)
            objects_.push_back(parse_object(f));
    }

    LinkedImage run();

private:
    void discard_duplicate_groups();
    void classify_sections();
    void place_code();
    void place_const();
    void place_globals();
    void define_symbols();
    void apply_relocations();
    void apply_section_relocations(ParsedObject& obj, const ObjectSection& rela, ObjectSection& target);
    void write_stubs();
    LinkedImage build_image();

    Target resolve(const ParsedObject& obj, uint32_t symbol_index, int64_t addend, std::string& name) const;
    // As resolve; Region::None for a mark inside a discarded section.
    Target resolve_mark(const ParsedObject& obj, uint32_t symbol_index, int64_t addend, std::string& name) const;
    // `name` is what errors call the reference; it becomes the global's name in var.
    Target section_target(const ParsedObject& obj, const ObjectSection& s, uint64_t offset, std::string& name) const;
    void define(const std::string& name, Target target, const ParsedObject& obj, bool weak);

    [[noreturn]] void fail(const ParsedObject& obj, const std::string& problem) const
    {
        throw LinkError("object " + obj.file->name + ": " + problem);
    }

    uint32_t const_data_file_offset() const;

    const ImageRecipe& recipe_;
    std::vector<ParsedObject> objects_;

    Bytes code_;
    uint32_t stub_block_ = 0;
    Bytes const_;
    std::vector<uint32_t> relocations_;
    MarkGroups marks_;

    struct ConstReference {
        uint32_t place;  // code offset of the operand
        int64_t target;  // const offset + addend
    };
    std::vector<ConstReference> const_references_;

    struct Definition {
        Target target;
        std::string object;
        bool weak;
    };
    std::unordered_map<std::string, Definition> symbols_;
    std::map<std::string, uint32_t> routines_;
};

void Linker::discard_duplicate_groups()
{
    std::set<std::string> seen;
    for (auto& obj : objects_) {
        for (const auto& s : obj.sections) {
            if (s.header.sh_type != SHT_GROUP)
                continue;
            auto words = section_bytes(obj, s);
            if (words.size() < 4 || s.header.sh_info >= obj.symbols.size())
                fail(obj, "malformed section group " + s.name);
            uint32_t flags = load_u32(words.data());
            if (!(flags & GRP_COMDAT))
                continue;
            if (seen.insert(obj.symbols[s.header.sh_info].name).second)
                continue;
            for (size_t at = 4; at + 4 <= words.size(); at += 4) {
                uint32_t member = load_u32(words.data() + at);
                if (member >= obj.sections.size())
                    fail(obj, "section group " + s.name + " names section " + std::to_string(member));
                obj.sections[member].discarded = true;
            }
        }
    }
}

void Linker::classify_sections()
{
    for (auto& obj : objects_) {
        for (auto& s : obj.sections) {
            const auto& h = s.header;
            if (s.discarded || !(h.sh_flags & SHF_ALLOC) || h.sh_type == SHT_NOTE || s.name == ".eh_frame")
                s.region = Region::None;
            else if (s.name == kMarkSection)
                s.region = Region::Marks;
            else if (h.sh_flags & SHF_EXECINSTR)
                s.region = Region::Code;
            else if (h.sh_flags & SHF_WRITE)
                s.region = Region::Writable;
            else
                s.region = Region::Const;
        }
    }
}

void Linker::place_code()
{
    for (auto& obj : objects_) {
        for (auto& s : obj.sections) {
            if (s.region != Region::Code)
                continue;
            uint64_t align = s.header.sh_addralign ? s.header.sh_addralign : 1;
            while (code_.size() % align)
                code_.push_back(kCodePadding);
            s.base = code_.size();
            auto bytes = section_bytes(obj, s);
            if (s.header.sh_type == SHT_NOBITS)
                code_.resize(code_.size() + s.header.sh_size, 0);
            else
                code_.insert(code_.end(), bytes.begin(), bytes.end());
        }
    }
    stub_block_ = checked_u32(code_.size(), "code size");
    code_.resize(code_.size() + kStubBlockSize, 0);
}

uint32_t Linker::const_data_file_offset() const
{
    size_t manifest = 1;  // the closing empty entry
    for (const auto& e : recipe_.manifest)
        manifest += manifest_entry_text(e).size() + 1;
    return checked_u32(kImageHeaderSize + 8 * recipe_.dll_functions.size() + manifest + kSectionHeaderSize,
                       "const data offset");
}

void Linker::place_const()
{
    const_ = ConstPool().data();
    // Alignment counts from the image start: the runtime maps the image file whole at a
    // page boundary, so an aligned constant (an SSE load's operand) must be aligned in
    // the file.
    uint32_t file_offset = const_data_file_offset();
    for (auto& obj : objects_) {
        for (auto& s : obj.sections) {
            if (s.region != Region::Const)
                continue;
            uint64_t align = s.header.sh_addralign ? s.header.sh_addralign : 1;
            while ((file_offset + const_.size()) % align)
                const_.push_back(0);
            s.base = const_.size();
            auto bytes = section_bytes(obj, s);
            if (s.header.sh_type == SHT_NOBITS)
                const_.resize(const_.size() + s.header.sh_size, 0);
            else
                const_.insert(const_.end(), bytes.begin(), bytes.end());
        }
    }
}

void Linker::place_globals()
{
    for (auto& obj : objects_) {
        for (auto& s : obj.sections) {
            if (s.region != Region::Writable || s.header.sh_size == 0)
                continue;
            auto bytes = section_bytes(obj, s);
            uint64_t covered = 0;
            for (const auto& sym : obj.symbols) {
                if (sym.sym.st_shndx >= obj.sections.size() || &obj.sections[sym.sym.st_shndx] != &s)
                    continue;
                unsigned type = ELF64_ST_TYPE(sym.sym.st_info);
                if (type == STT_SECTION || type == STT_FILE)
                    continue;
                auto global = std::find(recipe_.globals.begin(), recipe_.globals.end(), sym.name);
                if (global == recipe_.globals.end() || ELF64_ST_BIND(sym.sym.st_info) == STB_LOCAL)
                    fail(obj, "writable data '" + sym.name + "' in section " + s.name +
                                  "; only the program's globals may be writable");
                if (sym.sym.st_size > kGlobalSize)
                    fail(obj, "global '" + sym.name + "' is " + std::to_string(sym.sym.st_size) +
                                  " bytes; a global is one pointer wide");
                for (uint64_t i = 0; i < sym.sym.st_size && sym.sym.st_value + i < bytes.size(); ++i) {
                    if (bytes[sym.sym.st_value + i] != 0)
                        fail(obj, "global '" + sym.name + "' has an initial value; the var section starts zero-filled");
                }
                covered += sym.sym.st_size;
            }
            if (covered == 0)
                fail(obj, "writable data in section " + s.name + " that is none of the program's globals");
        }
    }
}

void Linker::define(const std::string& name, Target target, const ParsedObject& obj, bool weak)
{
    auto [it, inserted] = symbols_.try_emplace(name, Definition{target, obj.file->name, weak});
    if (inserted)
        return;
    if (weak)
        return;
    if (it->second.weak) {
        it->second = Definition{target, obj.file->name, weak};
        return;
    }
    fail(obj, "symbol '" + name + "' is also defined in object " + it->second.object);
}

Target Linker::section_target(const ParsedObject& obj, const ObjectSection& s, uint64_t offset, std::string& name) const
{
    switch (s.region) {
    case Region::Code:
    case Region::Const: return Target{s.region, s.base + offset};
    case Region::Writable:
        // A reference into writable data reaches one of the globals.
        for (const auto& sym : obj.symbols) {
            if (sym.sym.st_shndx >= obj.sections.size() || &obj.sections[sym.sym.st_shndx] != &s)
                continue;
            if (offset < sym.sym.st_value || offset >= sym.sym.st_value + std::max<uint64_t>(sym.sym.st_size, 1))
                continue;
            auto global = std::find(recipe_.globals.begin(), recipe_.globals.end(), sym.name);
            if (global == recipe_.globals.end())
                continue;
            name = sym.name;
            return Target{Region::Var,
                          kGlobalSize * uint64_t(global - recipe_.globals.begin()) + offset - sym.sym.st_value};
        }
        fail(obj, "'" + name + "' refers to writable data in section " + s.name + " that is none of the globals");
    default: fail(obj, "'" + name + "' refers to section " + s.name + ", which the image does not hold");
    }
}

void Linker::define_symbols()
{
    for (uint32_t k = 0; k < qx::kServiceSlotCount; ++k)
        symbols_[std::string(kStubPrefix) + std::to_string(k)] =
            Definition{Target{Region::Code, stub_block_ + kStubSize * uint64_t(k)}, "(linker)", false};
    symbols_["qx_const_version_text"] = Definition{Target{Region::Const, kConstVersionText}, "(linker)", false};
    symbols_["qx_const_empty_array"] = Definition{Target{Region::Const, kConstEmptyArray}, "(linker)", false};
    symbols_["qx_const_empty_text"] = Definition{Target{Region::Const, kConstEmptyText}, "(linker)", false};

    for (const auto& obj : objects_) {
        for (const auto& sym : obj.symbols) {
            unsigned bind = ELF64_ST_BIND(sym.sym.st_info);
            if ((bind != STB_GLOBAL && bind != STB_WEAK) || sym.sym.st_shndx == SHN_UNDEF)
                continue;
            if (sym.sym.st_shndx >= obj.sections.size())
                fail(obj, "symbol '" + sym.name + "' is not in a section (absolute or common)");
            const auto& s = obj.sections[sym.sym.st_shndx];
            if (s.discarded || s.region == Region::None)
                continue;
            std::string name = sym.name;
            Target t = section_target(obj, s, sym.sym.st_value, name);
            define(sym.name, t, obj, bind == STB_WEAK);
            if (t.region == Region::Code && ELF64_ST_TYPE(sym.sym.st_info) == STT_FUNC && bind == STB_GLOBAL)
                routines_[sym.name] = uint32_t(t.offset);
        }
    }
}

Target Linker::resolve(const ParsedObject& obj, uint32_t symbol_index, int64_t addend, std::string& name) const
{
    if (symbol_index >= obj.symbols.size())
        fail(obj, "relocation names symbol " + std::to_string(symbol_index) + ", past the symbol table");
    const auto& sym = obj.symbols[symbol_index];
    name = sym.name;
    unsigned bind = ELF64_ST_BIND(sym.sym.st_info);
    bool by_name = sym.sym.st_shndx == SHN_UNDEF || (bind != STB_LOCAL && sym.sym.st_shndx < obj.sections.size() &&
                                                     obj.sections[sym.sym.st_shndx].discarded);
    if (by_name) {
        auto it = symbols_.find(sym.name);
        if (it == symbols_.end())
            fail(obj, "undefined symbol '" + sym.name + "'");
        Target t = it->second.target;
        t.offset = uint64_t(int64_t(t.offset) + addend);
        return t;
    }
    if (sym.sym.st_shndx >= obj.sections.size())
        fail(obj, "symbol '" + sym.name + "' is not in a section (absolute or common)");
    const auto& s = obj.sections[sym.sym.st_shndx];
    bool section_symbol = ELF64_ST_TYPE(sym.sym.st_info) == STT_SECTION;
    if (section_symbol)
        name = s.name;
    uint64_t value = section_symbol ? 0 : sym.sym.st_value;
    // In writable data the referenced byte picks the global (through a section symbol
    // the addend says which); the addend then applies from there.
    uint64_t probe = section_symbol && s.region == Region::Writable ? uint64_t(std::max<int64_t>(addend, 0)) : value;
    Target t = section_target(obj, s, probe, name);
    t.offset = uint64_t(int64_t(t.offset) - int64_t(probe) + int64_t(value) + addend);
    return t;
}

Target Linker::resolve_mark(const ParsedObject& obj, uint32_t symbol_index, int64_t addend, std::string& name) const
{
    if (symbol_index < obj.symbols.size()) {
        const auto& sym = obj.symbols[symbol_index];
        if (sym.sym.st_shndx < obj.sections.size() && obj.sections[sym.sym.st_shndx].discarded)
            return Target{};
    }
    return resolve(obj, symbol_index, addend, name);
}

void Linker::apply_relocations()
{
    for (auto& obj : objects_) {
        for (const auto& rela : obj.sections) {
            if (rela.header.sh_type == SHT_REL)
                fail(obj, "REL relocations in section " + rela.name + "; only RELA is handled");
            if (rela.header.sh_type != SHT_RELA)
                continue;
            if (rela.header.sh_info >= obj.sections.size())
                fail(obj, "relocation section " + rela.name + " names section " + std::to_string(rela.header.sh_info));
            ObjectSection& target = obj.sections[rela.header.sh_info];
            if (target.discarded || target.region == Region::None)
                continue;
            apply_section_relocations(obj, rela, target);
        }
    }
}

void Linker::apply_section_relocations(ParsedObject& obj, const ObjectSection& rela, ObjectSection& target)
{
    ElfReader r(*obj.file);
    size_t count = rela.header.sh_size / sizeof(Elf64_Rela);
    auto section = section_bytes(obj, target);
    for (size_t i = 0; i < count; ++i) {
        auto rel = r.read<Elf64_Rela>(rela.header.sh_offset + i * sizeof(Elf64_Rela), "relocation");
        uint32_t type = ELF64_R_TYPE(rel.r_info);
        std::string name;
        if (ELF64_R_SYM(rel.r_info) < obj.symbols.size()) {
            const auto& sym = obj.symbols[ELF64_R_SYM(rel.r_info)];
            name = sym.name;
            if (ELF64_ST_TYPE(sym.sym.st_info) == STT_SECTION && sym.sym.st_shndx < obj.sections.size())
                name = obj.sections[sym.sym.st_shndx].name;
        }

        if (target.region == Region::Const || target.region == Region::Writable)
            fail(obj, "relocation inside data: '" + data_symbol_at(obj, target, rel.r_offset) + "' in section " +
                          target.name + " refers to '" + name + "' (pointer tables in data cannot be placed)");

        if (target.region == Region::Marks) {
            if (type != R_X86_64_64 || rel.r_offset % kMarkEntrySize != 8 || rel.r_offset + 8 > section.size())
                fail(obj,
                     "malformed " + std::string(kMarkSection) + " entry at offset " + std::to_string(rel.r_offset));
            Target t = resolve_mark(obj, ELF64_R_SYM(rel.r_info), rel.r_addend, name);
            if (t.region == Region::None)
                continue;  // recorded in a discarded copy of an inline routine: goes with it
            uint32_t group = load_u32(section.data() + rel.r_offset - 8);
            if (t.region != Region::Code || t.offset + 4 > stub_block_)
                fail(obj, "a " + std::string(kMarkSection) + " entry does not point into code");
            if (group >= kMarkGroupCount)
                fail(obj, "a " + std::string(kMarkSection) + " entry names group " + std::to_string(group));
            marks_[group].push_back(uint32_t(t.offset));
            continue;
        }

        // In code.
        if (rel.r_offset + 4 > target.header.sh_size)
            fail(obj, "relocation at offset " + std::to_string(rel.r_offset) + " lies outside section " + target.name);
        uint64_t place = target.base + rel.r_offset;
        switch (type) {
        case R_X86_64_PC32:
        case R_X86_64_PLT32: {
            Target t = resolve(obj, ELF64_R_SYM(rel.r_info), rel.r_addend, name);
            if (t.region == Region::Var)
                fail(obj, "PC-relative reference to global '" + name +
                              "'; globals are reached through absolute references only");
            if (t.region == Region::Const) {
                const_references_.push_back({uint32_t(place), int64_t(t.offset)});
                break;
            }
            int64_t value = int64_t(t.offset) - int64_t(place);
            if (value < INT32_MIN || value > INT32_MAX)
                fail(obj, "PC-relative reference to '" + name + "' out of range");
            store_u32(code_.data() + place, uint32_t(int32_t(value)));
            break;
        }
        case R_X86_64_32:
        case R_X86_64_32S: {
            Target t = resolve(obj, ELF64_R_SYM(rel.r_info), rel.r_addend, name);
            uint64_t limit = type == R_X86_64_32S ? 0x7fffffffu : 0xffffffffu;
            if (int64_t(t.offset) < 0 || t.offset > limit)
                fail(obj, "absolute reference to '" + name + "' does not fit its operand");
            RelocationKind kind = t.region == Region::Code  ? kRelocCode
                                  : t.region == Region::Var ? kRelocVar
                                                            : kRelocConst;
            store_u32(code_.data() + place, uint32_t(t.offset));
            relocations_.push_back(encode_relocation({kind, uint32_t(place)}));
            break;
        }
        default:
            fail(obj, "relocation " + relocation_type_name(type) + " against '" + name + "' in section " + target.name +
                          " is not handled");
        }
    }
}

void Linker::write_stubs()
{
    for (uint32_t k = 0; k < qx::kServiceSlotCount; ++k) {
        uint8_t* stub = code_.data() + stub_block_ + kStubSize * k;
        stub[0] = 0xff;  // jmp qword [abs32]
        stub[1] = 0x24;
        stub[2] = 0x25;
        store_u32(stub + 3, slot_byte_offset(k));
        relocations_.push_back(encode_relocation({kRelocServiceSlot, stub_block_ + kStubSize * k + 3}));
    }
}

LinkedImage Linker::build_image()
{
    LinkedImage out;
    Image& image = out.image;
    image.manifest = recipe_.manifest;

    std::map<std::string, uint32_t> stored_names;
    auto name_offset = [&](const std::string& text) {
        auto [it, inserted] = stored_names.try_emplace(text, 0);
        if (inserted) {
            it->second = checked_u32(const_.size(), "const size");
            const_.insert(const_.end(), text.begin(), text.end());
            const_.push_back(0);
        }
        return it->second;
    };
    for (const auto& f : recipe_.dll_functions) {
        uint32_t library = name_offset(f.library);
        image.dll_commands.push_back(DllCommand{library, name_offset(f.function)});
    }

    auto entry = routines_.find(recipe_.entry_routine);
    if (entry == routines_.end())
        throw LinkError("the entry routine '" + recipe_.entry_routine + "' is not defined by any object");
    image.entry_offset = entry->second;

    RoutineLookup lookup = [this](const std::string& name) -> std::optional<uint32_t> {
        auto it = routines_.find(name);
        if (it == routines_.end())
            return std::nullopt;
        return it->second;
    };
    Bytes form = recipe_.form ? recipe_.form(lookup) : Bytes{};

    Section code = make_data_section("code", code_);
    code.kind = kCodeSection;
    code.relocations = relocations_;
    image.sections.push_back(make_data_section("const", const_));
    image.sections.push_back(make_data_section("form", std::move(form)));
    image.sections.push_back(make_data_section("help", Bytes(recipe_.help_size, 0)));
    image.sections.push_back(std::move(code));
    image.sections.push_back(
        make_zero_filled_section("var", checked_u32(kGlobalSize * recipe_.globals.size(), "var size")));
    image.sections.push_back(make_mark_section(marks_));

    ImageLayoutInfo info;
    write_image(image, &info);
    uint32_t const_at = kNoOffset, code_at = kNoOffset;
    for (const auto& p : info.sections) {
        if (p.name == "const")
            const_at = p.data_offset;
        if (p.name == "code")
            code_at = p.data_offset;
    }
    if (const_at != const_data_file_offset())
        throw LinkError("internal: const data placed at " + hex32(const_at) + ", expected " +
                        hex32(const_data_file_offset()));
    Section& placed_code = *image.find("code");
    for (const auto& ref : const_references_) {
        int64_t value = int64_t(const_at) + ref.target - (int64_t(code_at) + ref.place);
        if (value < INT32_MIN || value > INT32_MAX)
            throw LinkError("PC-relative reference from code offset " + hex32(ref.place) + " to const out of range");
        store_u32(placed_code.data.data() + ref.place, uint32_t(int32_t(value)));
    }
    out.bytes = write_image(image);
    out.routines = routines_;
    out.stub_block = stub_block_;
    return out;
}

LinkedImage Linker::run()
{
    // Inline functions and template instances come in COMDAT groups, one copy per
    // object that uses them; only the first copy of each group is kept.
    discard_duplicate_groups();
    // Beyond this point every kept section has its region (code, const, writable,
    // marks) and no section is dropped or added.
    classify_sections();
    // Code in object order, then the block of service stubs: sets stub_block_, which
    // define_symbols and write_stubs read.
    place_code();
    // Constants after the const section's fixed points, aligned from the image start.
    place_const();
    // Checks the writable data: only the program's globals, each zero-filled. They are
    // laid out in `var` in the recipe's order, so nothing is placed here.
    place_globals();
    // Needs every section's base: a symbol is its section's base plus its value.
    define_symbols();
    // Needs every symbol: patches the bytes placed above and records the image's
    // relocation entries.
    apply_relocations();
    // The stubs' jumps, each with its service-slot relocation.
    write_stubs();
    return build_image();
}

}  // namespace

ObjectFile read_object_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open object file " + path);
    ObjectFile f;
    f.name = path;
    f.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return f;
}

LinkedImage link_image(const std::vector<ObjectFile>& objects, const ImageRecipe& recipe)
{
    return Linker(objects, recipe).run();
}

}  // namespace qx
