// The loader's reading of a module object's .modinfo section: the module
// information items, NUL-separated "name=value" strings.  insmod checks the
// kernel_version item against the running kernel before it loads anything.
#include "rtlinux/kernel/modinfo.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace rtlsim {

namespace {

template <typename Ehdr, typename Shdr>
std::vector<std::string> modinfo_items(const std::string &image)
{
    std::vector<std::string> items;
    if (image.size() < sizeof(Ehdr))
        return items;
    Ehdr eh;
    std::memcpy(&eh, image.data(), sizeof eh);
    if (eh.e_shoff == 0 || eh.e_shentsize != sizeof(Shdr) || eh.e_shstrndx >= eh.e_shnum ||
        eh.e_shoff + static_cast<size_t>(eh.e_shnum) * sizeof(Shdr) > image.size())
        return items;
    auto section = [&](size_t i) {
        Shdr sh;
        std::memcpy(&sh, image.data() + eh.e_shoff + i * sizeof(Shdr), sizeof sh);
        return sh;
    };
    Shdr names = section(eh.e_shstrndx);
    if (names.sh_offset + names.sh_size > image.size())
        return items;
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        Shdr sh = section(i);
        if (sh.sh_name >= names.sh_size || sh.sh_type == SHT_NOBITS)
            continue;
        const char *name = image.data() + names.sh_offset + sh.sh_name;
        if (std::strncmp(name, ".modinfo", names.sh_size - sh.sh_name) != 0)
            continue;
        if (sh.sh_offset + sh.sh_size > image.size())
            return items;
        std::string data(image.data() + sh.sh_offset, sh.sh_size);
        size_t pos = 0;
        while (pos < data.size()) {
            size_t end = data.find('\0', pos);
            if (end == std::string::npos)
                end = data.size();
            if (end > pos)
                items.push_back(data.substr(pos, end - pos));
            pos = end + 1;
        }
    }
    return items;
}

}  // namespace

std::vector<std::string> read_modinfo(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0)
        return {};
    if (image[EI_CLASS] == ELFCLASS64)
        return modinfo_items<Elf64_Ehdr, Elf64_Shdr>(image);
    if (image[EI_CLASS] == ELFCLASS32)
        return modinfo_items<Elf32_Ehdr, Elf32_Shdr>(image);
    return {};
}

}  // namespace rtlsim
