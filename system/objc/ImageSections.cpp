#include "objc/ImageSections.hpp"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/FileDescriptor.hpp"
#include "base/Mutex.hpp"
#include "base/OwnExecutable.hpp"

namespace {

bool readAt(int fd, void* buf, std::size_t len, off_t off) {
  auto* p = static_cast<char*>(buf);
  while (len > 0) {
    ssize_t n = pread(fd, p, len, off);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<std::size_t>(n);
    off += n;
  }
  return true;
}

struct NamedSection {
  std::string name;
  ElfW(Addr) addr;  // relative to the load base
  std::size_t size;
};

// The data sections of the ELF file at `path` whose names could be spelt as identifiers:
// the names section attributes give, never the toolchain's own ".text" and kin.
std::vector<NamedSection> readNamedSections(const char* path) {
  std::vector<NamedSection> found;
  const base::FileDescriptor file(open(path, O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return found;
  const int fd = file.get();
  ElfW(Ehdr) eh;
  if (readAt(fd, &eh, sizeof eh, 0) && std::memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
      eh.e_ident[EI_CLASS] == ELFCLASS64 && eh.e_shentsize == sizeof(ElfW(Shdr)) &&
      eh.e_shstrndx < eh.e_shnum && eh.e_shnum < 4096) {
    std::vector<ElfW(Shdr)> sh(eh.e_shnum);
    if (readAt(fd, sh.data(), sh.size() * sizeof(ElfW(Shdr)), static_cast<off_t>(eh.e_shoff))) {
      const ElfW(Shdr)& strtab = sh[eh.e_shstrndx];
      if (strtab.sh_size < (1u << 20)) {
        std::string names(strtab.sh_size, '\0');
        if (readAt(fd, names.data(), names.size(), static_cast<off_t>(strtab.sh_offset))) {
          for (const ElfW(Shdr) & s : sh) {
            if (s.sh_name >= names.size() || s.sh_type != SHT_PROGBITS) continue;
            const char* name = names.c_str() + s.sh_name;
            if (name[0] != '\0' && name[0] != '.') found.push_back({name, s.sh_addr, s.sh_size});
          }
        }
      }
    }
  }
  return found;
}

struct LoadedImage {
  ElfW(Addr) base;
  std::string path;
};

struct LoadedImages {
  std::vector<LoadedImage> images;
  unsigned long long unloads = 0;  // images unloaded since the process started
};

// The readers below read other images' program headers, dynamic sections and names: the
// loader's data, which never changes while an image is loaded, so ThreadSanitizer has no
// race to find there, and in some address layouts it faults on those pages' shadow. They
// go uninstrumented, and compare names without the C library's (intercepted) functions.
#define OBJC_READS_LOADER_DATA __attribute__((no_sanitize("thread")))

// The image's own name (DT_SONAME) and the libraries it links (DT_NEEDED), read from its
// dynamic section in memory. The loader rewrites the section's string table address to the
// loaded one where the section is writable and leaves it where it is read-only (the vDSO's),
// so an address below the load base is still relative to it.
struct DynamicNames {
  const char* soname = nullptr;
  std::vector<const char*> needed;
};

OBJC_READS_LOADER_DATA DynamicNames dynamicNames(const struct dl_phdr_info* info) {
  DynamicNames names;
  const ElfW(Dyn)* dynamic = nullptr;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_DYNAMIC) {
      dynamic = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    }
  }
  if (dynamic == nullptr) return names;
  ElfW(Addr) strtab = 0;
  for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
    if (d->d_tag == DT_STRTAB) strtab = d->d_un.d_ptr;
  }
  if (strtab == 0) return names;
  if (strtab < info->dlpi_addr) strtab += info->dlpi_addr;
  const char* strings = reinterpret_cast<const char*>(strtab);
  for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
    if (d->d_tag == DT_SONAME) names.soname = strings + d->d_un.d_val;
    if (d->d_tag == DT_NEEDED) names.needed.push_back(strings + d->d_un.d_val);
  }
  return names;
}

// An object of this library's own: its address tells the runtime's image from the others.
// (An exported function's address would not do: a program may own its canonical address.)
const char kRuntimeImageMarker = 0;

OBJC_READS_LOADER_DATA bool containsAddress(const struct dl_phdr_info* info, ElfW(Addr) address) {
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    const ElfW(Addr) start = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD && address >= start && address - start < segment.p_memsz) {
      return true;
    }
  }
  return false;
}

OBJC_READS_LOADER_DATA bool sameName(const char* a, const char* b) {
  for (; *a != '\0' && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

struct ImageScan {
  struct Candidate {
    LoadedImage image;
    DynamicNames names;
    bool isRuntime;
  };
  std::vector<Candidate> candidates;
  unsigned long long unloads = 0;
};

int listImage(struct dl_phdr_info* info, size_t, void* data) {
  auto* scan = static_cast<ImageScan*>(data);
  scan->unloads = info->dlpi_subs;
  // The main program reports an empty name; its file is the process's own. An image named
  // without a path is the kernel's vDSO, which has no file and no records.
  const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  if (name[0] != '\0' && std::strchr(name, '/') == nullptr) return 0;
  const char* path = name[0] != '\0' ? name : base::kOwnExecutable;
  const bool isRuntime = containsAddress(info, reinterpret_cast<ElfW(Addr)>(&kRuntimeImageMarker));
  scan->candidates.push_back({{info->dlpi_addr, path}, dynamicNames(info), isRuntime});
  return 0;
}

// The loaded images that may hold records: this runtime and the images that link it. The
// record macros refer to the runtime, so an image with records links it; the others (libc,
// libcurl and its thirty-odd dependencies) are not opened at all.
LoadedImages imagesWithRecords() {
  ImageScan scan;
  dl_iterate_phdr(&listImage, &scan);
  const char* runtime = nullptr;
  for (const ImageScan::Candidate& c : scan.candidates) {
    if (c.isRuntime) runtime = c.names.soname;
  }
  LoadedImages loaded;
  loaded.unloads = scan.unloads;
  for (ImageScan::Candidate& c : scan.candidates) {
    const bool linksRuntime =
        runtime != nullptr &&
        std::any_of(c.names.needed.begin(), c.names.needed.end(),
                    [runtime](const char* name) { return sameName(name, runtime); });
    if (c.isRuntime || linksRuntime) loaded.images.push_back(std::move(c.image));
  }
  return loaded;
}

// Each image's named sections, read from its file once: class lookups and extension point
// lookups each scan the images.
struct SectionCache {
  base::Mutex mu;
  // Guarded by mu: the images read so far, valid while no image has been unloaded since.
  std::vector<std::pair<LoadedImage, std::vector<NamedSection>>> images GUARDED_BY(mu);
  unsigned long long unloads GUARDED_BY(mu) = 0;
};

SectionCache& sectionCache() {
  static SectionCache* cache = new SectionCache;  // never destroyed: lookups may run at exit
  return *cache;
}

}  // namespace

namespace objc {

void forEachImageSection(const char* sectionName, void (*visit)(const void*, std::size_t, void*),
                         void* context) noexcept {
  const LoadedImages loaded = imagesWithRecords();
  std::vector<std::pair<const void*, std::size_t>> hits;
  {
    SectionCache& cache = sectionCache();
    base::MutexLock lock(cache.mu);
    // An image unloaded since may have left its address to another.
    if (cache.unloads != loaded.unloads) {
      cache.images.clear();
      cache.unloads = loaded.unloads;
    }
    for (const LoadedImage& image : loaded.images) {
      auto it = std::find_if(cache.images.begin(), cache.images.end(), [&](const auto& entry) {
        return entry.first.base == image.base && entry.first.path == image.path;
      });
      if (it == cache.images.end()) {
        cache.images.emplace_back(image, readNamedSections(image.path.c_str()));
        it = std::prev(cache.images.end());
      }
      for (const NamedSection& section : it->second) {
        if (section.name == sectionName) {
          hits.emplace_back(reinterpret_cast<const void*>(image.base + section.addr), section.size);
        }
      }
    }
  }
  // Visited outside the lock, so that a visitor may look sections up itself.
  for (const auto& [start, size] : hits) visit(start, size, context);
}

}  // namespace objc
