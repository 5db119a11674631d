// The project's version and the source commit a program was built from
// (cmake/SourceVersion.cmake writes their definitions at build time).
#ifndef LABTOOLS_SOURCE_VERSION_H
#define LABTOOLS_SOURCE_VERSION_H

extern "C" {
extern const char labtools_version[];
extern const char labtools_commit[];
}

#endif
