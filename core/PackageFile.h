// Reading the package file: all resources of a demo in one file, the whole
// file optionally gzip-compressed.
//
// Layout of the (uncompressed) stream, integers little-endian:
//   magic 0xA488BDCC (4 bytes), entry count (signed 32-bit),
//   directory size D (unsigned 32-bit), the directory (D bytes, scrambled as
//   one block): entry-count records of name, 0 byte, size (unsigned 32-bit);
//   then the blobs, each scrambled as a block of its own, back to back in
//   byte-wise ascending order of their names, one per distinct name.
// A name repeated in the directory takes the size of its later record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

constexpr std::uint32_t kPackageMagic = 0xA488BDCCu;
// Longest entry name the directory may hold (the terminator not counted).
constexpr std::size_t kPackageMaxNameLength = 2047;

// Whether the file opens and its first four bytes (after decompression) are
// the package magic.
bool isPackageFile(const std::string& fileName);

// Reads the descrambled bytes of the entry `entryName` into a new[]-allocated
// buffer that the caller frees with delete[]. Answers false, with nothing
// left allocated, when the file is not a package, the entry is not in its
// directory, the entry is empty, or the package is malformed (a directory or
// blob that runs past the end of the file, records that run past the
// directory, a name without terminator or longer than kPackageMaxNameLength,
// a size of 2^31 or more).
bool readPackageEntry(const std::string& fileName, const std::string& entryName, char** data,
                      std::int32_t* size);

// A package opened once for many reads: its directory is parsed on the first
// read and kept, and the file stays open. A read answers exactly what
// readPackageEntry answers for the file as it is at that moment: a package
// that has been replaced or changed since (another size, modification time
// or file) is opened afresh.
//
// A gzipped package is inflated no more than once for all its entries,
// whatever the order of the reads: the inflater keeps its state every
// kPackageAccessSpacing bytes of uncompressed stream, so an entry behind the
// current position costs at most that much inflating before its own bytes,
// and with `keepPassedEntries` the bytes of entries that a read passes over
// on its way are kept (up to kPackagePassedBudget bytes in all) until they
// are read once.
constexpr std::uint64_t kPackageAccessSpacing = 1u << 20;
constexpr std::uint64_t kPackagePassedBudget = 32u << 20;
//
// With `inflateWhole`, a gzipped package of at most kPackageWholeStreamLimit
// bytes (compressed and uncompressed) is instead inflated whole when it is
// opened, by a whole-buffer inflater two to three times as fast as the
// streaming one. Its uncompressed stream stays in memory until the reader
// goes or the package is opened afresh (the compressed file only during the
// opening). The reads answer what streaming would: a package whose stream
// does not inflate cleanly as a whole, every member's checksum and length
// matching, is streamed as above, so damaged and cut-short files fail the
// same reads as ever. Without it (readPackageEntry, a single read) the reader
// inflates only as far as the entry it reads.
//
// The limit keeps the held stream at a size a show can afford; beyond it the
// streaming reader's memory stays within its budget. A member's trailer
// holds its length modulo 2^32, but a member of 4 GiB or more never fits
// under the limit, so it is always streamed.
constexpr std::uint64_t kPackageWholeStreamLimit = 256u << 20;
//
// A member with at least kPackageParallelMember bytes of compressed data
// (counted to the end of the file) is inflated on several threads, one per
// core and at most eight, each taking a share of the compressed bytes; what
// they deliver is used only when it is the whole member with its checksum and
// length matching, else the member is inflated serially as before. Smaller
// members are always inflated serially, and so is every member after one
// that turned out smaller (a file of many small members), and every member
// while the machine's load average is above one and a half times its cores.
constexpr std::uint64_t kPackageParallelMember = 4u << 20;

// How gzipped packages opened from now on are inflated; tests lower the
// thresholds so that small files take the parallel path with many chunks.
struct PackageInflateTuning {
  std::uint64_t parallelMember = kPackageParallelMember;
  std::size_t chunkBytes = 0;  // compressed bytes per chunk; 0: chosen from the member's size
  unsigned threads = 0;        // 0: one per core
};
void setPackageInflateTuning(const PackageInflateTuning& tuning);
PackageInflateTuning packageInflateTuning();

class PackageReader {
 public:
  PackageReader(const std::string& fileName, bool keepPassedEntries, bool inflateWhole = true);
  ~PackageReader();
  PackageReader(const PackageReader&) = delete;
  PackageReader& operator=(const PackageReader&) = delete;

  const std::string& fileName() const { return name; }
  // As readPackageEntry.
  bool read(const std::string& entryName, char** data, std::int32_t* size);

  // How often the package has been (re)opened and how many uncompressed
  // bytes have been inflated since this reader was made.
  int opens() const { return openCount; }
  std::uint64_t inflatedBytes() const;
  // Whether the package as last opened is a gzipped one held inflated whole.
  bool holdsWholeStream() const;
  // How many chunks, decoded each on its own, make up the members of the
  // held stream that were inflated on several threads (0: none was).
  unsigned parallelChunks() const;

 private:
  struct Opened;
  std::string name;
  bool keepPassed;
  bool inflateWhole;
  int openCount = 0;
  std::uint64_t inflatedBefore = 0;  // by earlier openings
  std::unique_ptr<Opened> opened;
};

// Undoes the scrambling of one block in place: byte i becomes
// ((b XOR 0x6B) - i - 0x3A) mod 256. A length of 0 or less does nothing.
void descrambleBytes(char* bytes, std::int32_t length);
