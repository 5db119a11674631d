#include "rtlinux/kernel/io_regions.h"

#include <algorithm>
#include <cstdio>

namespace rtlsim {

namespace {
bool overlaps(unsigned long a, unsigned long an, unsigned long b, unsigned long bn)
{
    return a < b + bn && b < a + an;
}
}  // namespace

void *IoRegions::request(unsigned long start, unsigned long n, const char *name)
{
    if (taken(start, n))
        return nullptr;
    regions_.push_back(Region{start, n, name ? name : "", false});
    tokens_.push_back(std::make_unique<Region>(regions_.back()));
    return tokens_.back().get();
}

bool IoRegions::release(unsigned long start, unsigned long n)
{
    for (auto it = regions_.begin(); it != regions_.end(); ++it) {
        if (it->start == start && it->n == n && !it->other_driver) {
            regions_.erase(it);
            return true;
        }
    }
    return false;
}

void IoRegions::occupy(unsigned long start, unsigned long n, const std::string &name)
{
    regions_.push_back(Region{start, n, name, true});
}

int IoRegions::vacate_others()
{
    auto gone = std::remove_if(regions_.begin(), regions_.end(), [](const Region &r) { return r.other_driver; });
    int n = static_cast<int>(regions_.end() - gone);
    regions_.erase(gone, regions_.end());
    return n;
}

bool IoRegions::taken(unsigned long start, unsigned long n) const
{
    for (const auto &r : regions_)
        if (overlaps(r.start, r.n, start, n))
            return true;
    return false;
}

std::string IoRegions::owner(unsigned long port) const
{
    for (const auto &r : regions_)
        if (overlaps(r.start, r.n, port, 1))
            return r.name;
    return "";
}

bool IoRegions::held_by_module(unsigned long port) const
{
    for (const auto &r : regions_)
        if (!r.other_driver && r.start <= port && port < r.start + r.n)
            return true;
    return false;
}

std::vector<std::string> IoRegions::module_leftovers() const
{
    std::vector<std::string> left;
    for (const auto &r : regions_) {
        if (!r.other_driver) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "I/O region 0x%lx+%lu \"%s\"", r.start, r.n, r.name.c_str());
            left.push_back(buf);
        }
    }
    return left;
}

void IoRegions::remove_module_regions()
{
    regions_.erase(std::remove_if(regions_.begin(), regions_.end(), [](const Region &r) { return !r.other_driver; }),
                   regions_.end());
}

}  // namespace rtlsim
