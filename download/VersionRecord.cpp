#include "download/VersionRecord.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "texts/StatusTexts.h"

namespace korvane {

namespace {

// The resource directory: a table of 16 bytes whose last two fields count its named entries and
// its entries by id, which follow it, 8 bytes each. An entry's second field has its top bit set
// when it leads to a table of the next level, clear when it leads to the data's description.
constexpr std::size_t kTableSize = 16;
constexpr std::size_t kNamedCountAt = 12;
constexpr std::size_t kIdCountAt = 14;
constexpr std::size_t kEntrySize = 8;
constexpr std::uint32_t kHighBit = 0x80000000;
constexpr std::size_t kDataEntrySize = 16;  // the data's address in the image, its size, ...
constexpr std::uint32_t kVersionType = 16;  // RT_VERSION
constexpr std::uint32_t kVersionId = 1;     // VS_VERSION_INFO

// A block of the record: wLength, wValueLength, wType, a NUL-terminated UTF-16 key, its value and
// its children, each starting on a 4-byte boundary of the record.
constexpr std::size_t kBlockHeaderSize = 6;
constexpr std::uint16_t kTextValue = 1;
// VS_FIXEDFILEINFO: its signature, then dwStrucVersion, then the file version's high and low
// halves.
constexpr std::size_t kFixedPartSize = 52;
constexpr std::uint32_t kFixedPartSignature = 0xFEEF04BD;
constexpr std::size_t kFileVersionAt = 8;

constexpr std::size_t Aligned(std::size_t AOffset) {
    return (AOffset + 3) & ~std::size_t{3};
}

// One entry of a table of the resource directory.
struct TResourceEntry {
    std::uint32_t Id = 0;
    std::uint32_t Offset = 0;  // from the directory's start, with kHighBit for a table
};

// The resource directory, read where the file keeps it; offsets are from its start.
class TResourceDirectory {
public:
    TResourceDirectory(const TReadAt& AReadAt, std::int64_t AAt, std::uint32_t ASize)
        : FReadAt(AReadAt), FAt(AAt), FSize(ASize) {}

    // The one entry of the table at `AOffset` that has the id `AId`, or its one entry of any id
    // when `AId` is nullopt; nullopt when there is not exactly one.
    std::optional<TResourceEntry> OnlyEntry(std::uint32_t AOffset,
                                            std::optional<std::uint32_t> AId) const {
        const auto table = Read(AOffset, kTableSize);
        if (!table) {
            return std::nullopt;
        }
        const std::size_t named = U16(*table, kNamedCountAt);
        const std::size_t count = named + U16(*table, kIdCountAt);
        const auto entries = Read(AOffset + kTableSize, count * kEntrySize);
        if (!entries) {
            return std::nullopt;
        }
        std::optional<TResourceEntry> found;
        // Named entries come first; the record is looked up by number.
        for (std::size_t i = AId ? named : 0; i < count; ++i) {
            const TResourceEntry entry{.Id = U32(*entries, i * kEntrySize),
                                       .Offset = U32(*entries, i * kEntrySize + 4)};
            if (AId && entry.Id != *AId) {
                continue;
            }
            if (found) {
                return std::nullopt;  // which one Windows would take is not ours to guess
            }
            found = entry;
        }
        return found;
    }

    std::optional<std::vector<std::byte>> Read(std::uint64_t AOffset, std::size_t ASize) const {
        if (AOffset > FSize || ASize > FSize - AOffset) {
            return std::nullopt;
        }
        return ReadExactly(FReadAt, FAt + static_cast<std::int64_t>(AOffset), ASize);
    }

private:
    const TReadAt& FReadAt;
    const std::int64_t FAt;
    const std::uint32_t FSize;
};

// The bytes of the record itself; nullopt when the file has none, or more than one.
std::optional<std::vector<std::byte>> VersionRecordBytes(const TReadAt& AReadAt) {
    const std::optional<TPeHeaders> headers = ReadPeHeaders(AReadAt);
    if (!headers || headers->Directories.size() <= kResourceDirectory) {
        return std::nullopt;
    }
    const TPeDirectory directory = headers->Directories[kResourceDirectory];
    const std::optional<std::int64_t> at = headers->FileOffsetOf(directory.Address, directory.Size);
    if (!at) {
        return std::nullopt;
    }
    const TResourceDirectory resources(AReadAt, *at, directory.Size);
    // Type, then id, then language: tables at the first two levels, the data at the last.
    const auto type = resources.OnlyEntry(0, kVersionType);
    if (!type || (type->Offset & kHighBit) == 0) {
        return std::nullopt;
    }
    const auto id = resources.OnlyEntry(type->Offset & ~kHighBit, kVersionId);
    if (!id || (id->Offset & kHighBit) == 0) {
        return std::nullopt;
    }
    const auto language = resources.OnlyEntry(id->Offset & ~kHighBit, std::nullopt);
    if (!language || (language->Offset & kHighBit) != 0) {
        return std::nullopt;
    }
    const auto data = resources.Read(language->Offset, kDataEntrySize);
    if (!data) {
        return std::nullopt;
    }
    const std::uint32_t size = U32(*data, 4);
    const std::optional<std::int64_t> recordAt = headers->FileOffsetOf(U32(*data, 0), size);
    if (!recordAt || size > kMaxVersionRecordSize) {
        return std::nullopt;
    }
    return ReadExactly(AReadAt, *recordAt, size);
}

// A block of the record and where its parts lie, as offsets into the record.
struct TBlock {
    std::u16string Key;
    std::uint16_t ValueLength = 0;  // in bytes, or in UTF-16 units for text
    std::uint16_t Type = 0;
    std::size_t ValueAt = 0;
    std::size_t ChildrenAt = 0;
    std::size_t End = 0;
};

class TVersionRecord {
public:
    explicit TVersionRecord(std::vector<std::byte> ABytes) : FBytes(std::move(ABytes)) {}

    // The block at `AAt`, which must end by `AEnd`; nullopt when it does not read.
    std::optional<TBlock> BlockAt(std::size_t AAt, std::size_t AEnd) const {
        if (AAt > AEnd || AEnd - AAt < kBlockHeaderSize) {
            return std::nullopt;
        }
        TBlock block;
        const std::uint16_t length = U16(FBytes, AAt);
        block.ValueLength = U16(FBytes, AAt + 2);
        block.Type = U16(FBytes, AAt + 4);
        block.End = AAt + length;
        if (length < kBlockHeaderSize || block.End > AEnd) {
            return std::nullopt;
        }
        const std::optional<std::size_t> keyEnd = TextEnd(AAt + kBlockHeaderSize, block.End);
        if (!keyEnd) {
            return std::nullopt;
        }
        block.Key = Text(AAt + kBlockHeaderSize, *keyEnd);
        block.ValueAt = Aligned(*keyEnd + 2);
        if (block.Type == kTextValue) {
            // Tools count a text's length in characters or in bytes: it is read up to its NUL,
            // and only a block without one has children.
            block.ChildrenAt = block.ValueLength == 0 ? block.ValueAt : block.End;
            return block;
        }
        if (block.ValueAt + block.ValueLength > block.End) {
            return std::nullopt;
        }
        block.ChildrenAt = Aligned(block.ValueAt + block.ValueLength);
        return block;
    }

    // The children of `AParent`, in order; nullopt when one does not read.
    std::optional<std::vector<TBlock>> Children(const TBlock& AParent) const {
        std::vector<TBlock> children;
        for (std::size_t at = AParent.ChildrenAt; at < AParent.End;) {
            const std::optional<TBlock> child = BlockAt(at, AParent.End);
            if (!child) {
                return std::nullopt;
            }
            children.push_back(*child);
            at = Aligned(child->End);
        }
        return children;
    }

    // A text value, up to its NUL or the block's end: tools count its length in bytes or in
    // characters, with or without the NUL.
    std::u16string TextValue(const TBlock& ABlock) const {
        return Text(ABlock.ValueAt, TextEnd(ABlock.ValueAt, ABlock.End).value_or(ABlock.End));
    }

    // A binary value.
    std::span<const std::byte> Value(const TBlock& ABlock) const {
        return std::span(FBytes).subspan(ABlock.ValueAt, ABlock.ValueLength);
    }

    std::size_t Size() const { return FBytes.size(); }

private:
    // Where the UTF-16 NUL at or after `AAt` lies, before `AEnd`.
    std::optional<std::size_t> TextEnd(std::size_t AAt, std::size_t AEnd) const {
        for (std::size_t at = AAt; at + 2 <= AEnd; at += 2) {
            if (U16(FBytes, at) == 0) {
                return at;
            }
        }
        return std::nullopt;
    }

    std::u16string Text(std::size_t AAt, std::size_t AEnd) const {
        std::u16string text;
        for (std::size_t at = AAt; at + 2 <= AEnd; at += 2) {
            text.push_back(static_cast<char16_t>(U16(FBytes, at)));
        }
        return text;
    }

    const std::vector<std::byte> FBytes;
};

// Whether `AKey` is `AName`, ASCII case aside, as Windows looks keys up.
bool KeyIs(std::u16string_view AKey, std::u16string_view AName) {
    const auto lower = [](char16_t AUnit) {
        return AUnit >= u'A' && AUnit <= u'Z' ? static_cast<char16_t>(AUnit - u'A' + u'a') : AUnit;
    };
    return std::equal(AKey.begin(), AKey.end(), AName.begin(), AName.end(),
                      [&](char16_t A, char16_t B) { return lower(A) == lower(B); });
}

// The block reached from `ABlocks` through the keys `APath`, each the only block of its key at its
// level; nullopt when one is missing or comes twice (which of them Windows shows is not ours to
// guess), or a level does not read.
std::optional<TBlock> BlockAtPath(const TVersionRecord& ARecord, std::vector<TBlock> ABlocks,
                                  std::initializer_list<std::u16string_view> APath) {
    std::optional<TBlock> found;
    for (const std::u16string_view key : APath) {
        if (found) {
            auto children = ARecord.Children(*found);
            if (!children) {
                return std::nullopt;
            }
            ABlocks = std::move(*children);
            found.reset();
        }
        for (const TBlock& block : ABlocks) {
            if (KeyIs(block.Key, key) && std::exchange(found, block)) {
                return std::nullopt;
            }
        }
        if (!found) {
            return std::nullopt;
        }
    }
    return found;
}

// The key of a language's string table: its language and code page, in hexadecimal.
std::u16string StringTableKey(std::span<const std::byte> ATranslation) {
    constexpr std::u16string_view kDigits = u"0123456789abcdef";
    const std::uint32_t value = std::uint32_t{U16(ATranslation, 0)} << 16 | U16(ATranslation, 2);
    std::u16string key;
    for (int shift = 28; shift >= 0; shift -= 4) {
        key.push_back(kDigits[(value >> shift) & 0xF]);
    }
    return key;
}

// The file version of the fixed part; nullopt for no fixed part, and a fault for one that does
// not read.
std::optional<std::optional<TReleaseVersion>> FileVersion(const TVersionRecord& ARecord,
                                                          const TBlock& ARoot) {
    if (ARoot.ValueLength == 0) {
        return std::optional<TReleaseVersion>();
    }
    if (ARoot.Type == kTextValue || ARoot.ValueLength != kFixedPartSize) {
        return std::nullopt;
    }
    const std::span<const std::byte> fixed = ARecord.Value(ARoot);
    if (U32(fixed, 0) != kFixedPartSignature) {
        return std::nullopt;
    }
    const std::uint32_t high = U32(fixed, kFileVersionAt);
    const std::uint32_t low = U32(fixed, kFileVersionAt + 4);
    return TReleaseVersion{
        {static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high & 0xFFFF),
         static_cast<std::uint16_t>(low >> 16), static_cast<std::uint16_t>(low & 0xFFFF)}};
}

// The OriginalFilename under the first (language, code page) pair of the translation list;
// nullopt when there is none.
std::optional<std::u16string> OriginalFilename(const TVersionRecord& ARecord,
                                               const std::vector<TBlock>& ARootChildren) {
    const auto translation = BlockAtPath(ARecord, ARootChildren, {u"VarFileInfo", u"Translation"});
    if (!translation || translation->Type == kTextValue || translation->ValueLength < 4) {
        return std::nullopt;
    }
    const std::u16string table = StringTableKey(ARecord.Value(*translation).first(4));
    const auto name =
        BlockAtPath(ARecord, ARootChildren, {u"StringFileInfo", table, u"OriginalFilename"});
    if (!name || name->Type != kTextValue) {
        return std::nullopt;
    }
    return ARecord.TextValue(*name);
}

}  // namespace

std::optional<TReleaseClaim> ClaimOfVersionRecord(const TReadAt& AReadAt) {
    std::optional<std::vector<std::byte>> bytes = VersionRecordBytes(AReadAt);
    if (!bytes) {
        return std::nullopt;
    }
    const TVersionRecord record(std::move(*bytes));
    const std::optional<TBlock> root = record.BlockAt(0, record.Size());
    if (!root || root->Key != u"VS_VERSION_INFO") {
        return std::nullopt;
    }
    const auto version = FileVersion(record, *root);
    const auto children = record.Children(*root);
    if (!version || !children) {
        return std::nullopt;
    }
    const auto name = OriginalFilename(record, *children);
    if (!name) {
        return std::nullopt;
    }
    return TReleaseClaim{.FileName = ToUtf8(*name), .Version = *version};
}

}  // namespace korvane
