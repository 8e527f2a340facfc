#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/PackageFile.h"
#include "core/TQDatabase.h"
#include "tests/PackageWriter.h"
#include "tests/StoreFixture.h"

namespace {

namespace pw = package_writer;
using Entries = std::vector<std::pair<std::string, std::string>>;

// The entry's bytes as the reader delivers them, or "<failed>".
std::string entry(const std::string& package, const std::string& name) {
  char* data = nullptr;
  std::int32_t size = -1;
  if (!readPackageEntry(package, name, &data, &size)) {
    EXPECT_EQ(data, nullptr);
    return "<failed>";
  }
  std::unique_ptr<char[]> keep(data);
  return std::string(data, std::size_t(size));
}

TEST(Descramble, KnownBytesAndIndexWrap) {
  // stored 0x51 is plain 0 at i = 0; stored 0x17 is plain 'A' at i = 1; the
  // index counts modulo 256.
  std::string block(258, '\0');
  block[0] = char(0x51);
  block[1] = char(0x17);
  block[256] = char(0x51);
  block[257] = char(0x17);
  descrambleBytes(block.data(), std::int32_t(block.size()));
  EXPECT_EQ(block[0], 0);
  EXPECT_EQ(block[1], 'A');
  EXPECT_EQ(block[256], 0);
  EXPECT_EQ(block[257], 'A');

  std::string untouched = "abc";
  descrambleBytes(untouched.data(), 0);
  descrambleBytes(untouched.data(), -5);
  EXPECT_EQ(untouched, "abc");
}

class Package : public ScratchFolder, public testing::WithParamInterface<bool> {
 protected:
  // Writes the package plain or gzipped, as the test parameter says.
  std::string make(const std::string& bytes, const std::string& name = "demo.dat") {
    EXPECT_TRUE(pw::writeFile(name, bytes, GetParam()));
    return name;
  }
};

TEST_P(Package, EntriesReadBackWhateverTheRecordOrder) {
  // Records out of order; blobs in byte-wise order of unsigned bytes: B.x,
  // a.x, ab, abc, data/m.x, then the name starting with byte 0xE9.
  const Entries entries = {{"abc", "third"},          {"a.x", "alpha"},
                           {"B.x", "capital"},        {"ab", std::string(300, 'q') + "tail"},
                           {"data/m.x", "in folder"}, {"\xE9t\xE9.x", "accented"}};
  const std::string package = make(pw::package(entries));
  for (const auto& [name, content] : entries) EXPECT_EQ(entry(package, name), content) << name;
  EXPECT_EQ(entry(package, "DATA/m.x"), "<failed>");
  EXPECT_EQ(entry(package, "data\\m.x"), "<failed>");
  EXPECT_EQ(entry(package, "missing"), "<failed>");
  EXPECT_TRUE(isPackageFile(package));
}

TEST_P(Package, RepeatedNameTakesTheLaterSizeAndOneBlob) {
  const std::string directory = pw::record("a", 3) + pw::record("b", 2) + pw::record("a", 5);
  const std::string blobs = pw::scramble("11111") + pw::scramble("22");
  const std::string package = make(pw::rawPackage(3, directory, blobs));
  EXPECT_EQ(entry(package, "a"), "11111");
  EXPECT_EQ(entry(package, "b"), "22");
}

TEST_P(Package, BytesAfterTheRecordsAreIgnored) {
  const std::string directory = pw::record("a", 2) + "padding that is no record";
  const std::string package = make(pw::rawPackage(1, directory, pw::scramble("ok")));
  EXPECT_EQ(entry(package, "a"), "ok");
}

TEST_P(Package, LongestNameReads) {
  const std::string name(kPackageMaxNameLength, 'n');
  const std::string package = make(pw::package({{name, "long"}, {"z", "after"}}));
  EXPECT_EQ(entry(package, name), "long");
  EXPECT_EQ(entry(package, "z"), "after");
}

struct MalformedCase {
  const char* label;
  std::string bytes;
};

// Every one of these fails to load "b" (and "a") without touching memory
// outside the reader's buffers; the sanitizer build checks the latter.
std::vector<MalformedCase> malformedPackages() {
  const std::string good = pw::record("a", 2) + pw::record("b", 3);
  const std::string blobs = pw::scramble("aa") + pw::scramble("bbb");
  return {
      {"HeaderOnly", pw::le32(0xA488BDCCu) + pw::le32(2)},
      {"NoEntries", pw::rawPackage(0, good, blobs)},
      {"NegativeCount", pw::rawPackage(-3, good, blobs)},
      {"CountBeyondRecords", pw::rawPackage(3, good, blobs)},
      {"RecordsPastDirectory", pw::rawPackage(2, good, blobs, std::int64_t(good.size()) - 2)},
      {"NameWithoutTerminator", pw::rawPackage(1, "abcdef", "")},
      {"NameTooLong", pw::rawPackage(1, pw::record(std::string(2048, 'a'), 1), pw::scramble("x"))},
      {"DirectoryPastFile", pw::rawPackage(2, good, blobs, 0xFFFFFFFFll)},
      {"NoDirectory", pw::rawPackage(1, "", blobs)},
      {"SizePastFile", pw::rawPackage(2, pw::record("a", 2) + pw::record("b", 1000), blobs)},
      {"EarlierSizePastFile",
       pw::rawPackage(2, pw::record("a", 0x7FFFFFFF) + pw::record("b", 3), blobs)},
      {"SizeOf2GiB", pw::rawPackage(2, pw::record("a", 2) + pw::record("b", 0x80000000u), blobs)},
      {"WrongMagic", pw::le32(0xA488BDCDu) + good},
  };
}

TEST_P(Package, MalformedPackagesFailEveryLoadSafely) {
  for (const MalformedCase& c : malformedPackages()) {
    const std::string package = make(c.bytes, std::string(c.label) + ".dat");
    EXPECT_EQ(entry(package, "b"), "<failed>") << c.label;
    TQDatabasePackedFile store;
    store.open(package);
    TQDataHandler_Text handler;
    TQSmartPointerTyped<char> text;
    std::string error;
    EXPECT_FALSE(store.load("b", handler, text, 0, error)) << c.label;
    EXPECT_EQ(error, "Cannot find packed data: b") << c.label;
  }
}

TEST_P(Package, EmptyEntryCannotBeLoaded) {
  const std::string package = make(pw::package({{"empty", ""}, {"full", "x"}}));
  EXPECT_EQ(entry(package, "empty"), "<failed>");
  EXPECT_EQ(entry(package, "full"), "x");
}

TEST_P(Package, PackedStoreCachesLikeTheLooseStore) {
  const std::string package =
      make(pw::package({{"a.txt", "alpha"}, {"main.demo", "tracks"}}), "sub.dat");
  std::filesystem::create_directory("deep");
  std::filesystem::rename("sub.dat", "deep/sub.dat");
  TQDatabasePackedFile store;
  ASSERT_TRUE(store.open("deep\\sub.dat"));  // Windows separators reach zlib as '/'
  EXPECT_EQ(store.packageName, "deep\\sub.dat");
  TrackedHandler handler;
  ResourceHandle first, second, unique;
  std::string error;
  ASSERT_TRUE(store.load("a.txt", handler, first, 0, error));
  ASSERT_TRUE(store.load("a.txt", handler, second, 0, error));
  EXPECT_EQ(handler.loads, 1);
  EXPECT_EQ(store.entries.at("a.txt").count, 3);

  const int counter = TQDatabasePackedFile::uniqueCounter;
  const int looseCounter = TQDatabaseFilesystem::uniqueCounter;
  ASSERT_TRUE(store.load("main.demo", handler, unique, kLoadUniqueInstance, error));
  EXPECT_EQ(unique.object->bytes, "tracks");
  EXPECT_TRUE(store.exists("main.demo_" + std::to_string(counter)));
  EXPECT_EQ(TQDatabasePackedFile::uniqueCounter, counter + 1);
  EXPECT_EQ(TQDatabaseFilesystem::uniqueCounter, looseCounter);

  EXPECT_FALSE(store.load("", handler, first, 0, error));
  EXPECT_EQ(error, "TQDatabasePackedFile - Cannot open empty filename ");
  EXPECT_FALSE(store.saveData("nothing", handler, error));
  EXPECT_EQ(error, "TQDatabasePackedFile::saveData - no such registered filename: nothing");
  // Saving writes a loose file, never into the package.
  EXPECT_TRUE(store.saveData("a.txt", handler, error));
  EXPECT_EQ(read("a.txt"), "alpha");
}

INSTANTIATE_TEST_SUITE_P(Compression, Package, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Gzipped" : "Plain";
                         });

using PackageStore = ScratchFolder;

TEST_F(PackageStore, OnlyFilesStartingWithTheMagicArePackages) {
  const struct {
    const char* name;
    std::string bytes;
    bool gzipped;
    bool isPackage;
  } cases[] = {
      {"magic.dat", pw::le32(0xA488BDCCu), false, true},
      {"magic.gz", pw::le32(0xA488BDCCu), true, true},
      {"other.dat", "\xCC\xBD\x88\xA5", false, false},
      {"short.dat", "\xCC\xBD\x88", false, false},
      {"empty.dat", "", false, false},
      {"emptygz.dat", "", true, false},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(pw::writeFile(c.name, c.bytes, c.gzipped));
    EXPECT_EQ(isPackageFile(c.name), c.isPackage) << c.name;
  }
  EXPECT_FALSE(isPackageFile("missing.dat"));
  std::filesystem::create_directory("folder.dat");
  EXPECT_FALSE(isPackageFile("folder.dat"));
}

TEST_F(PackageStore, StoreWithoutPackageFailsEveryLoad) {
  ASSERT_TRUE(pw::writeFile("text.dat", "not a package", false));
  for (const char* candidate : {"text.dat", "missing.dat"}) {
    TQDatabasePackedFile store;
    EXPECT_FALSE(store.open(candidate));
    EXPECT_EQ(store.packageName, "");
    TQDataHandler_Text handler;
    TQSmartPointerTyped<char> text;
    std::string error;
    EXPECT_FALSE(store.load("main.demo", handler, text, 0, error));
    EXPECT_EQ(error, "Cannot find packed data: main.demo");
    EXPECT_TRUE(store.entries.empty());
  }
}

// A save from the packed store writes a loose file; its failures name the
// packed store, and a handler's refusal replaces the handler's own text.
TEST_F(PackageStore, SaveFailuresOfThePackedStore) {
  ASSERT_TRUE(pw::writeFile("demo.dat", pw::package({{"sub/b.txt", "beta"}}), false));
  TQDatabasePackedFile store;
  ASSERT_TRUE(store.open("demo.dat"));
  TrackedHandler handler;
  ResourceHandle handle;
  std::string error;
  ASSERT_TRUE(store.load("sub/b.txt", handler, handle, 0, error));

  handler.refuseSave = true;
  EXPECT_FALSE(store.saveData("sub/b.txt", handler, error));
  EXPECT_EQ(error, "Error saving object to memory : sub/b.txt");
  handler.refuseSave = false;

  EXPECT_FALSE(store.saveData("sub/b.txt", handler, error));  // no folder "sub" to write into
  EXPECT_EQ(error, "TQDatabasePackedFile - Cannot create file: sub/b.txt");
  std::filesystem::create_directory("sub");
  EXPECT_TRUE(store.saveData("sub/b.txt", handler, error));
  EXPECT_EQ(read("sub/b.txt"), "beta");
}

// The entry routine's choice of store: a description and a scene source load
// through gDatabase from loose files and from a package, plain or gzipped.
TEST_F(PackageStore, DescriptionLoadsThroughTheGlobalStore) {
  const std::string description = "track 0\nscene intro.as 0 10\n";
  const std::string source = "void render(float t) {}\n";
  ASSERT_TRUE(pw::writeFile(
      "demo.dat", pw::package({{"main.demo", description}, {"intro.as", source}}), false));
  ASSERT_TRUE(pw::writeFile("demo.gz.dat",
                            pw::package({{"main.demo", description}, {"intro.as", source}}), true));
  std::filesystem::create_directory("loose");
  write("loose/show.demo", description);
  write("loose/intro.as", source);

  struct Choice {
    const char* package;  // null: loose files
    const char* descriptionName;
  } choices[] = {{nullptr, "show.demo"}, {"demo.dat", "main.demo"}, {"demo.gz.dat", "main.demo"}};
  for (const Choice& choice : choices) {
    TQDatabaseFilesystem loose;
    TQDatabasePackedFile packed;
    packed.open(choice.package ? choice.package : "demo.dat");
    gDatabase = choice.package ? static_cast<TQDatabase*>(&packed) : &loose;
    if (!choice.package) std::filesystem::current_path(folder / "loose");
    {
      TQDataHandler_Text handler;
      TQSmartPointerTyped<char> text, scene;
      std::string error;
      ASSERT_TRUE(
          gDatabase->load(choice.descriptionName, handler, text, kLoadUniqueInstance, error))
          << error;
      EXPECT_STREQ(text.object, description.c_str());
      ASSERT_TRUE(gDatabase->load("intro.as", handler, scene, 0, error)) << error;
      EXPECT_STREQ(scene.object, source.c_str());
    }
    std::filesystem::current_path(folder);
    gDatabase = nullptr;
  }
}

// A package of `count` entries of 24 to 88 KiB each, half text-like and half
// noise, over several inflater access spacings in all.
Entries largeEntries(int count) {
  Entries entries;
  std::mt19937 random(99);
  for (int i = 0; i < count; ++i) {
    std::string bytes(24 * 1024 + random() % (64 * 1024), '\0');
    for (std::size_t k = 0; k < bytes.size(); ++k)
      bytes[k] = i % 2 ? char(random()) : "entry text; "[k % 12] + char(i % 7);
    entries.emplace_back("e/" + std::to_string(1000 + i), bytes);
  }
  return entries;
}

// `bytes` gzipped as the given number of gzip members back to back.
std::string gzipMembers(const std::string& bytes, int members) {
  std::string out;
  const std::size_t part = bytes.size() / std::size_t(members) + 1;
  for (std::size_t at = 0; at < bytes.size(); at += part) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    const std::size_t length = std::min(part, bytes.size() - at);
    std::string member(deflateBound(&stream, uLong(length)), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + at));
    stream.avail_in = uInt(length);
    stream.next_out = reinterpret_cast<Bytef*>(member.data());
    stream.avail_out = uInt(member.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    member.resize(stream.total_out);
    deflateEnd(&stream);
    out += member;
  }
  return out;
}

// What a reader delivers for each name in turn: the bytes, or "<failed>".
std::vector<std::string> readEach(PackageReader& reader, const std::vector<std::string>& names) {
  std::vector<std::string> delivered;
  for (const std::string& name : names) {
    char* data = nullptr;
    std::int32_t size = 0;
    if (reader.read(name, &data, &size)) {
      std::unique_ptr<char[]> keep(data);
      delivered.emplace_back(data, std::size_t(size));
    } else {
      EXPECT_EQ(data, nullptr) << name;
      delivered.emplace_back("<failed>");
    }
  }
  return delivered;
}

// Whether two readers delivered the same for each of `names` (reported
// name by name, without the bytes).
void expectSameReads(const std::vector<std::string>& first, const std::vector<std::string>& second,
                     const std::vector<std::string>& names, const std::string& label) {
  ASSERT_EQ(first.size(), names.size());
  ASSERT_EQ(second.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_TRUE(first[i] == second[i]) << label << ", " << names[i] << ": " << first[i].size()
                                       << " bytes or failed against " << second[i].size();
  }
}

// Every cut of `file` (its first 0 to size - 1 bytes), then the file with
// each byte in turn altered in its lowest and in its highest bit.
std::vector<std::string> cutsAndFlips(const std::string& file) {
  std::vector<std::string> variants;
  for (std::size_t cut = 0; cut < file.size(); ++cut) variants.push_back(file.substr(0, cut));
  for (std::size_t at = 0; at < file.size(); ++at) {
    for (unsigned char flip : {0x01, 0x80}) {
      variants.push_back(file);
      variants.back()[at] = char(variants.back()[at] ^ flip);
    }
  }
  return variants;
}

class GzippedPackage : public ScratchFolder {
 protected:
  // Reads `names` from every cut and altered variant of each of `files`
  // through a reader that may hold the whole stream and through one that
  // streams, expecting the same from both; counts the variants read whole
  // and those streamed instead.
  template <std::size_t N>
  void readVariantsBothWays(const std::string (&files)[N], const std::vector<std::string>& names,
                            int& inflatedWhole, int& streamedInstead) {
    for (const std::string& file : files) {
      const std::vector<std::string> variants = cutsAndFlips(file);
      for (std::size_t v = 0; v < variants.size(); ++v) {
        write("variant.dat", variants[v]);
        PackageReader whole("variant.dat", true), streamed("variant.dat", true, false);
        expectSameReads(readEach(whole, names), readEach(streamed, names), names,
                        "variant " + std::to_string(v));
        ++(whole.holdsWholeStream() ? inflatedWhole : streamedInstead);
      }
    }
  }
};

// However the loads are ordered, a store inflates a gzipped package once;
// a reader that inflates the whole stream does so exactly once, and a
// streaming one that keeps nothing it passes still never restarts the stream
// from its start for an entry behind it, but resumes from a kept state at
// most one access spacing before that entry.
TEST_F(GzippedPackage, EveryOrderOfLoadsInflatesTheStreamOnce) {
  const Entries entries = largeEntries(96);
  const std::string bytes = pw::package(entries);
  ASSERT_TRUE(pw::writeFile("big.dat", bytes, true));
  std::vector<std::size_t> ascending(entries.size());
  for (std::size_t i = 0; i < ascending.size(); ++i) ascending[i] = i;
  std::vector<std::size_t> descending(ascending.rbegin(), ascending.rend()), shuffled = ascending;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
  const struct {
    const char* label;
    const std::vector<std::size_t>& order;
  } orders[] = {{"ascending", ascending}, {"descending", descending}, {"shuffled", shuffled}};

  std::uint64_t largest = 0;
  for (const auto& e : entries) largest = std::max<std::uint64_t>(largest, e.second.size());
  for (const auto& o : orders) {
    for (bool keepPassed : {true, false}) {
      for (bool whole : {true, false}) {
        PackageReader reader("big.dat", keepPassed, whole);
        for (std::size_t i : o.order) {
          char* data = nullptr;
          std::int32_t size = 0;
          ASSERT_TRUE(reader.read(entries[i].first, &data, &size)) << o.label << " " << i;
          std::unique_ptr<char[]> keep(data);
          ASSERT_EQ(std::string(data, std::size_t(size)), entries[i].second) << o.label << " " << i;
        }
        EXPECT_EQ(reader.opens(), 1);
        EXPECT_EQ(reader.holdsWholeStream(), whole);
        const std::uint64_t bound =
            keepPassed || whole ? bytes.size()
                                : bytes.size() + entries.size() * (kPackageAccessSpacing + largest);
        EXPECT_LE(reader.inflatedBytes(), bound)
            << o.label << (keepPassed ? " keeping" : " not keeping") << (whole ? " whole" : "");
        if (whole) {
          EXPECT_EQ(reader.inflatedBytes(), bytes.size()) << o.label;
        }
      }
    }
  }
}

// Several gzip members back to back read as one stream (entries that
// straddle a member boundary included); a stream cut short delivers the
// entries before the cut and fails the others.
TEST_F(GzippedPackage, MembersJoinAndATruncatedStreamFailsOnlyWhatItLost) {
  const Entries entries = largeEntries(24);
  const std::string bytes = pw::package(entries);
  write("members.dat", gzipMembers(bytes, 5));
  const std::string whole = gzipMembers(bytes, 1);
  write("cut.dat", whole.substr(0, whole.size() / 2));

  TQDatabasePackedFile members, cut;
  ASSERT_TRUE(members.open("members.dat"));
  ASSERT_TRUE(cut.open("cut.dat"));
  int delivered = 0, failed = 0;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    TQDataHandler_Text handler;
    TQSmartPointerTyped<char> text, truncated;
    std::string error;
    ASSERT_TRUE(members.load(it->first, handler, text, 0, error)) << it->first;
    EXPECT_EQ(std::string(text.object, it->second.size()), it->second) << it->first;
    if (cut.load(it->first, handler, truncated, 0, error)) {
      ++delivered;
      EXPECT_EQ(std::string(truncated.object, it->second.size()), it->second) << it->first;
    } else {
      ++failed;
      EXPECT_EQ(error, "Cannot find packed data: " + it->first);
    }
  }
  EXPECT_GT(delivered, 0);
  EXPECT_GT(failed, 0);
}

// A store keeps its package open between loads, but what it reads is the
// package as it is at each load: one replaced meanwhile is read afresh.
TEST_P(Package, ReplacedPackageIsReadAfresh) {
  const std::string package = make(pw::package({{"a", "first a"}, {"b", "first b"}}));
  TQDatabasePackedFile store;
  ASSERT_TRUE(store.open(package));
  TQDataHandler_Text handler;
  TQSmartPointerTyped<char> a, b;
  std::string error;
  ASSERT_TRUE(store.load("a", handler, a, 0, error));
  EXPECT_STREQ(a.object, "first a");
  std::filesystem::remove(package);
  make(pw::package({{"a", "second a"}, {"b", "second b, longer"}}));
  ASSERT_TRUE(store.load("b", handler, b, 0, error));
  EXPECT_STREQ(b.object, "second b, longer");
  ASSERT_NE(store.reader, nullptr);
  EXPECT_EQ(store.reader->opens(), 2);
  std::filesystem::remove(package);
  char* data = nullptr;
  std::int32_t size = 0;
  EXPECT_FALSE(store.reader->read("a", &data, &size));
  EXPECT_EQ(data, nullptr);
}

// Damage anywhere in a gzipped stream (a flipped byte in the header, early,
// in the middle, near the end, in the trailer), with loads jumping back and
// forth over it: no load reads outside its buffers (the sanitizer build
// checks that), a failed load reports the store's message, and the entries
// before damage late in the stream still load. (Damage that still inflates
// delivers wrong bytes until the stream's checksum, as zlib's own gzip
// reader does.)
TEST_F(GzippedPackage, DamagedStreamsFailTheLoadsThatReachTheDamage) {
  const Entries entries = largeEntries(40);
  const std::string whole = gzipMembers(pw::package(entries), 1);
  const double places[] = {0.001, 0.05, 0.5, 0.9, 0.99, 0.9999};
  for (double place : places) {
    std::string damaged = whole;
    damaged[std::size_t(double(damaged.size() - 1) * place)] ^= 0x5A;
    write("damaged.dat", damaged);
    TQDatabasePackedFile store;
    store.open("damaged.dat");
    int loaded = 0;
    for (std::size_t k = 0; k < entries.size(); ++k) {
      const std::string& name = entries[(k * 17) % entries.size()].first;  // back and forth
      TQDataHandler_Text handler;
      TQSmartPointerTyped<char> text;
      std::string error;
      if (store.load(name, handler, text, kLoadUniqueInstance, error)) {
        ++loaded;
      } else {
        EXPECT_EQ(error, "Cannot find packed data: " + name) << place;
      }
    }
    if (place >= 0.5) {
      EXPECT_GT(loaded, 0) << place;
    }
  }
}

// One gzip member of `bytes` with a header of our own making: the flags
// (2 header check, 4 extra field, 8 name, 16 comment), with a header check
// that is right or not, compressed at `level` with `strategy`.
std::string gzipMember(const std::string& bytes, unsigned flags = 0, bool rightHeaderCheck = true,
                       int level = 6, int strategy = Z_DEFAULT_STRATEGY) {
  std::string header = {'\x1F', '\x8B', 8, char(flags), 0, 0, 0, 0, 0, 3};
  if (flags & 4)
    header += std::string(
        "\x04\x00"
        "ab\x01\x00",
        6);
  if (flags & 8) header += std::string("name.dat") + '\0';
  if (flags & 16) header += std::string("a comment") + '\0';
  if (flags & 2) {
    const uLong check =
        crc32(0, reinterpret_cast<const Bytef*>(header.data()), uInt(header.size()));
    header += pw::le32(std::uint32_t(check ^ (rightHeaderCheck ? 0 : 1))).substr(0, 2);
  }
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  std::string body(deflateBound(&stream, uLong(bytes.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = uInt(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(body.data());
  stream.avail_out = uInt(body.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  body.resize(stream.total_out);
  deflateEnd(&stream);
  const uLong check = crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), uInt(bytes.size()));
  return header + body + pw::le32(std::uint32_t(check)) + pw::le32(std::uint32_t(bytes.size()));
}

// A gzipped package is inflated whole when it opens cleanly and streamed
// otherwise; either way each read answers what streaming answers. Loads go
// back and forth, read one entry twice and ask for one that is not there.
TEST_F(GzippedPackage, WholeAndStreamedReadsAgreeOnEveryShape) {
  const Entries entries = largeEntries(24);
  const std::string bytes = pw::package(entries);
  const std::string one = gzipMembers(bytes, 1);
  std::string badFirstTrailer = gzipMembers(bytes, 3);
  {
    // The first member's trailer: the bytes before the second header.
    const std::size_t second = badFirstTrailer.find("\x1F\x8B", 1);
    ASSERT_NE(second, std::string::npos);
    badFirstTrailer[second - 8] ^= 0x01;
  }
  auto damaged = [&one](std::size_t at) {
    std::string copy = one;
    copy[at] ^= 0x5A;
    return copy;
  };
  const struct {
    const char* label;
    std::string file;
    bool whole;
  } shapes[] = {
      {"one member", one, true},
      {"five members", gzipMembers(bytes, 5), true},
      {"an empty member first", gzipMember("") + one, true},
      {"every header field", gzipMember(bytes, 2 | 4 | 8 | 16), true},
      {"fixed codes", gzipMember(bytes, 0, true, 9, Z_FIXED), true},
      {"stored blocks", gzipMember(bytes, 0, true, 0), true},
      {"other bytes after the last member", one + "trailing bytes", true},
      {"a wrong header check", gzipMember(bytes, 2, false), false},
      {"a gzip magic and junk after the last member", one + "\x1F\x8Bjunk", false},
      {"cut in the middle", one.substr(0, one.size() / 2), false},
      {"cut in the last trailer", one.substr(0, one.size() - 3), false},
      {"no last trailer", one.substr(0, one.size() - 8), false},
      {"a wrong checksum in the last trailer", damaged(one.size() - 8), false},
      {"a wrong length in the last trailer", damaged(one.size() - 1), false},
      {"a wrong checksum before another member", badFirstTrailer, false},
      {"a damaged byte in the middle", damaged(one.size() / 2), false},
  };

  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.first);
  std::shuffle(names.begin(), names.end(), std::mt19937(11));
  names.push_back(names.front());
  names.push_back("e/missing");
  for (const auto& shape : shapes) {
    write("shape.dat", shape.file);
    PackageReader whole("shape.dat", true), streamed("shape.dat", true, false);
    const std::vector<std::string> fromWhole = readEach(whole, names);
    EXPECT_EQ(whole.holdsWholeStream(), shape.whole) << shape.label;
    EXPECT_FALSE(streamed.holdsWholeStream()) << shape.label;
    expectSameReads(fromWhole, readEach(streamed, names), names, shape.label);
    if (shape.whole) {
      for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        const auto found = std::find_if(entries.begin(), entries.end(),
                                        [&](const auto& e) { return e.first == names[i]; });
        EXPECT_TRUE(fromWhole[i] == found->second) << shape.label << " " << names[i];
      }
    }
  }
}

// The same on a small package cut at every length and with every byte
// altered: headers, codes, checksums and lengths all get hit.
TEST_F(GzippedPackage, WholeAndStreamedReadsAgreeAfterAnyCutOrAlteredByte) {
  const Entries entries = {{"a", "first entry"},
                           {"bb", std::string(90, 'b') + "!"},
                           {"c", "the third entry, the third entry"}};
  const std::string bytes = pw::package(entries);
  const std::vector<std::string> names = {"c", "a", "bb", "a"};
  const std::string files[] = {
      gzipMember(bytes, 8, true, 9),
      gzipMember(bytes.substr(0, 40), 0, true, 1, Z_FIXED) + gzipMember(bytes.substr(40))};
  int inflatedWhole = 0, streamedInstead = 0;
  readVariantsBothWays(files, names, inflatedWhole, streamedInstead);
  // Both ways were taken (an altered time stamp or name still inflates).
  EXPECT_GT(inflatedWhole, 0);
  EXPECT_GT(streamedInstead, 0);
}

// Lowers the thresholds of the parallel inflate while it lives: every gzip
// member is inflated on `threads` threads in chunks of `chunkBytes`.
class ParallelTuning {
 public:
  ParallelTuning(std::size_t chunkBytes, unsigned threads) : saved(packageInflateTuning()) {
    PackageInflateTuning tuning;
    tuning.parallelMember = 0;
    tuning.chunkBytes = chunkBytes;
    tuning.threads = threads;
    setPackageInflateTuning(tuning);
  }
  ~ParallelTuning() { setPackageInflateTuning(saved); }

 private:
  PackageInflateTuning saved;
};

// `bytes` as one gzip member from libdeflate at `level`.
std::string libdeflateGzip(const std::string& bytes, int level) {
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
  std::string out(libdeflate_gzip_compress_bound(compressor, bytes.size()), '\0');
  out.resize(
      libdeflate_gzip_compress(compressor, bytes.data(), bytes.size(), out.data(), out.size()));
  libdeflate_free_compressor(compressor);
  return out;
}

// Members inflated on several threads in many chunks give the reads that
// streaming gives, whatever made them; a damaged or cut member is streamed,
// as it would be without threads.
TEST_F(GzippedPackage, ParallelInflateGivesTheReadsThatStreamingGives) {
  const ParallelTuning tuning(24 * 1024, 4);
  const Entries entries = largeEntries(24);
  const std::string bytes = pw::package(entries);
  const std::string one = gzipMembers(bytes, 1);
  auto damaged = [&one](std::size_t at) {
    std::string copy = one;
    copy[at] ^= 0x5A;
    return copy;
  };
  const struct {
    const char* label;
    std::string file;
    bool whole;
  } shapes[] = {
      {"one member", one, true},
      {"five members", gzipMembers(bytes, 5), true},
      {"every header field", gzipMember(bytes, 2 | 4 | 8 | 16), true},
      {"zlib level 1", gzipMember(bytes, 0, true, 1), true},
      {"zlib level 9, Huffman only", gzipMember(bytes, 0, true, 9, Z_HUFFMAN_ONLY), true},
      {"zlib run lengths", gzipMember(bytes, 0, true, 6, Z_RLE), true},
      {"zlib filtered", gzipMember(bytes, 0, true, 6, Z_FILTERED), true},
      {"stored blocks", gzipMember(bytes, 0, true, 0), true},
      {"libdeflate level 1", libdeflateGzip(bytes, 1), true},
      {"libdeflate level 12", libdeflateGzip(bytes, 12), true},
      {"cut in the middle", one.substr(0, one.size() / 2), false},
      {"a wrong checksum in the last trailer", damaged(one.size() - 8), false},
      {"a wrong length in the last trailer", damaged(one.size() - 1), false},
      {"a damaged byte in the middle", damaged(one.size() / 2), false},
      {"a damaged byte near the end", damaged(one.size() - 200), false},
  };

  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.first);
  std::shuffle(names.begin(), names.end(), std::mt19937(12));
  names.push_back("e/missing");
  for (const auto& shape : shapes) {
    write("shape.dat", shape.file);
    PackageReader whole("shape.dat", true), streamed("shape.dat", true, false);
    const std::vector<std::string> fromWhole = readEach(whole, names);
    EXPECT_EQ(whole.holdsWholeStream(), shape.whole) << shape.label;
    expectSameReads(fromWhole, readEach(streamed, names), names, shape.label);
    if (shape.whole) {
      EXPECT_GT(whole.parallelChunks(), 4u) << shape.label;
      for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        const auto found = std::find_if(entries.begin(), entries.end(),
                                        [&](const auto& e) { return e.first == names[i]; });
        EXPECT_TRUE(fromWhole[i] == found->second) << shape.label << " " << names[i];
      }
    }
  }
}

// In a file of many small members only the first is tried on several
// threads (it might have been a large one); the others are inflated serially.
TEST_F(GzippedPackage, ManySmallMembersAreInflatedSerially) {
  PackageInflateTuning lowered;
  lowered.parallelMember = 64 * 1024;
  lowered.chunkBytes = 8 * 1024;
  lowered.threads = 4;
  const PackageInflateTuning saved = packageInflateTuning();
  setPackageInflateTuning(lowered);
  const Entries entries = largeEntries(24);
  write("members.dat", gzipMembers(pw::package(entries), 40));
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.first);
  PackageReader whole("members.dat", true), streamed("members.dat", true, false);
  expectSameReads(readEach(whole, names), readEach(streamed, names), names, "members");
  EXPECT_TRUE(whole.holdsWholeStream());
  EXPECT_EQ(whole.parallelChunks(), 1u);
  setPackageInflateTuning(saved);
}

// Without the lowered thresholds a package this small is inflated serially.
TEST_F(GzippedPackage, SmallPackagesAreInflatedSerially) {
  write("small.dat", gzipMembers(pw::package(largeEntries(8)), 1));
  PackageReader reader("small.dat", true);
  EXPECT_EQ(readEach(reader, {"e/1000", "e/1007"}).size(), 2u);
  EXPECT_TRUE(reader.holdsWholeStream());
  EXPECT_EQ(reader.parallelChunks(), 0u);
}

// The cut and altered small package once more, every member inflated in
// chunks of a few bytes: a start found in damage never leaks into a read.
TEST_F(GzippedPackage, ParallelAndStreamedReadsAgreeAfterAnyCutOrAlteredByte) {
  const ParallelTuning tuning(24, 3);
  const Entries entries = {{"a", "first entry"},
                           {"bb", std::string(90, 'b') + "!"},
                           {"c", "the third entry, the third entry"},
                           {"d", std::string(300, 'd') + "0123456789abcdef0123456789abcdef"}};
  const std::string bytes = pw::package(entries);
  const std::vector<std::string> names = {"c", "a", "d", "bb", "a"};
  const std::string files[] = {
      gzipMember(bytes, 8, true, 9), gzipMember(bytes, 0, true, 0),
      gzipMember(bytes.substr(0, 60), 0, true, 6, Z_HUFFMAN_ONLY) + gzipMember(bytes.substr(60))};
  int inflatedWhole = 0, streamedInstead = 0;
  readVariantsBothWays(files, names, inflatedWhole, streamedInstead);
  EXPECT_GT(inflatedWhole, 0);
  EXPECT_GT(streamedInstead, 0);
}

}  // namespace
