// The module information items ("name=value") of a module object file, as
// insmod reads them from its .modinfo section (modinfo.cpp).
#ifndef RTLSIM_KERNEL_MODINFO_H
#define RTLSIM_KERNEL_MODINFO_H

#include <string>
#include <vector>

namespace rtlsim {

std::vector<std::string> read_modinfo(const std::string &path);

}  // namespace rtlsim

#endif
