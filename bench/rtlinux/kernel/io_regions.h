// Linux's registry of I/O port regions (check_region, request_region,
// release_region): who holds which ports.  Regions another driver holds are
// marked so; they are never the module's, and stay when it goes.
#ifndef RTLSIM_KERNEL_IO_REGIONS_H
#define RTLSIM_KERNEL_IO_REGIONS_H

#include <memory>
#include <string>
#include <vector>

namespace rtlsim {

class IoRegions {
public:
    // Returns a token (the kernel's struct resource) or null when any port
    // of the range is taken.
    void *request(unsigned long start, unsigned long n, const char *name);
    // False when the module holds no region exactly [start, start + n).
    bool release(unsigned long start, unsigned long n);
    // Another driver holds these ports.
    void occupy(unsigned long start, unsigned long n, const std::string &name);
    // The other drivers give their ports back; how many regions they held.
    int vacate_others();

    bool taken(unsigned long start, unsigned long n) const;
    std::string owner(unsigned long port) const;
    // Whether the module (not another driver) holds a region with `port` in it.
    bool held_by_module(unsigned long port) const;

    // The module's regions, as "I/O region 0xSTART+N \"name\"", and taking
    // them all away.
    std::vector<std::string> module_leftovers() const;
    void remove_module_regions();

private:
    struct Region {
        unsigned long start, n;
        std::string name;
        bool other_driver;
    };
    std::vector<Region> regions_;
    std::vector<std::unique_ptr<Region>> tokens_;
};

}  // namespace rtlsim

#endif
