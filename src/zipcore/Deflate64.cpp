#include "Deflate64.h"

#include <cstring>
#include <vector>

namespace zipcore {

namespace {

constexpr std::size_t Window = 64 << 10;
// Length code 285: base 3 plus 16 extra bits.
constexpr std::size_t MaxMatch = 65538;
// Room behind the longest match for the 8-byte copies that may run over.
constexpr std::size_t CopySlack = 16;
constexpr std::size_t BufferSize = Window + Deflate64Inflater::OutputPiece + MaxMatch + CopySlack;

constexpr int MaxCodeLength = 15;
constexpr int LitLenSymbols = 288;
constexpr int DistanceSymbols = 32;
constexpr int LitLenBits = 10;
constexpr int DistanceBits = 8;
constexpr int CodeLengthBits = 7;
// A primary table, plus at most one subtable of the longest code's size per
// code longer than the primary bits.
constexpr int LitLenTableSize = (1 << LitLenBits) + LitLenSymbols * (1 << (MaxCodeLength - LitLenBits));
constexpr int DistanceTableSize = (1 << DistanceBits) + DistanceSymbols * (1 << (MaxCodeLength - DistanceBits));
constexpr int CodeLengthTableSize = 1 << CodeLengthBits;

// Past the end of the input the bit buffer is filled with zero bytes, so
// that the decoding loop never checks for the end; a stream that actually
// used them ends early. This many are enough for the longest run of reads
// between two checks and few enough to bound what garbage can produce.
constexpr unsigned MaxPhantomBytes = 64;

// One table entry: `op` says what it is, `bits` how many bits the code
// takes (in a subtable: the whole code), `value` the literal, the base of a
// length or distance, or the subtable's offset.
struct Entry
{
    std::uint16_t value;
    std::uint8_t bits;
    std::uint8_t op;
};
constexpr std::uint8_t OpLiteral = 0x00;
// 0x10 + extra bits (0 to 16): a length or distance base.
constexpr std::uint8_t OpBase = 0x10;
constexpr std::uint8_t OpEndOfBlock = 0x40;
constexpr std::uint8_t OpInvalid = 0x60;
// 0x80 + subtable bits.
constexpr std::uint8_t OpLink = 0x80;

constexpr std::uint16_t LengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                          31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 3};
constexpr std::uint8_t LengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                          2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16};
constexpr std::uint16_t DistanceBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                            49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                            2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr std::uint8_t DistanceExtra[32] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                            7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
constexpr std::uint8_t CodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Invalid
{};
struct EndsEarly
{};

Entry litLenSymbol(int symbol)
{
    if (symbol < 256)
        return Entry{static_cast<std::uint16_t>(symbol), 0, OpLiteral};
    if (symbol == 256)
        return Entry{0, 0, OpEndOfBlock};
    if (symbol <= 285)
        return Entry{LengthBase[symbol - 257], 0, static_cast<std::uint8_t>(OpBase + LengthExtra[symbol - 257])};
    return Entry{0, 0, OpInvalid};
}

Entry distanceSymbol(int symbol)
{
    return Entry{DistanceBase[symbol], 0, static_cast<std::uint8_t>(OpBase + DistanceExtra[symbol])};
}

Entry codeLengthSymbol(int symbol)
{
    return Entry{static_cast<std::uint16_t>(symbol), 0, OpLiteral};
}

unsigned reverseBits(unsigned code, int length)
{
    unsigned reversed = 0;
    for (int i = 0; i < length; ++i) {
        reversed = (reversed << 1) | (code & 1);
        code >>= 1;
    }
    return reversed;
}

// Builds a two-level decoding table for the canonical code with these
// lengths. Over-subscribed lengths are invalid; an incomplete code is
// accepted, its unused patterns decoding as invalid.
template <typename Symbol>
void buildTable(const std::uint8_t* lengths, int count, int primaryBits, Entry* table, Symbol symbol)
{
    int perLength[MaxCodeLength + 1] = {};
    for (int i = 0; i < count; ++i)
        ++perLength[lengths[i]];
    perLength[0] = 0;
    int left = 1;
    for (int length = 1; length <= MaxCodeLength; ++length) {
        left = (left << 1) - perLength[length];
        if (left < 0)
            throw Invalid();
    }
    unsigned nextCode[MaxCodeLength + 2] = {};
    unsigned code = 0;
    for (int length = 1; length <= MaxCodeLength; ++length) {
        code = (code + static_cast<unsigned>(perLength[length - 1])) << 1;
        nextCode[length] = code;
    }

    const unsigned primarySize = 1u << primaryBits;
    const unsigned primaryMask = primarySize - 1;
    for (unsigned i = 0; i < primarySize; ++i)
        table[i] = Entry{0, 1, OpInvalid};

    // Codes longer than the primary bits go to a subtable per primary
    // pattern, as large as that pattern's longest code needs.
    std::uint8_t longest[1 << LitLenBits] = {};
    {
        unsigned probe[MaxCodeLength + 2];
        std::memcpy(probe, nextCode, sizeof probe);
        for (int i = 0; i < count; ++i) {
            const int length = lengths[i];
            if (length <= primaryBits)
                continue;
            const unsigned prefix = reverseBits(probe[length]++, length) & primaryMask;
            if (longest[prefix] < length)
                longest[prefix] = static_cast<std::uint8_t>(length);
        }
    }
    unsigned offset = primarySize;
    for (unsigned prefix = 0; prefix < primarySize; ++prefix) {
        if (longest[prefix] == 0)
            continue;
        const int subBits = longest[prefix] - primaryBits;
        table[prefix] = Entry{static_cast<std::uint16_t>(offset), 0, static_cast<std::uint8_t>(OpLink + subBits)};
        for (unsigned i = 0; i < (1u << subBits); ++i)
            table[offset + i] = Entry{0, 1, OpInvalid};
        offset += 1u << subBits;
    }

    for (int i = 0; i < count; ++i) {
        const int length = lengths[i];
        if (length == 0)
            continue;
        const unsigned reversed = reverseBits(nextCode[length]++, length);
        Entry entry = symbol(i);
        entry.bits = static_cast<std::uint8_t>(length);
        if (length <= primaryBits) {
            for (unsigned at = reversed; at < primarySize; at += 1u << length)
                table[at] = entry;
        } else {
            const Entry link = table[reversed & primaryMask];
            const int subBits = link.op - OpLink;
            const int rest = length - primaryBits;
            for (unsigned at = reversed >> primaryBits; at < (1u << subBits); at += 1u << rest)
                table[link.value + at] = entry;
        }
    }
}

} // namespace

struct Deflate64Inflater::State
{
    // The bit reader: bits are taken from the low end of `bits`.
    std::uint64_t bits = 0;
    unsigned count = 0;
    unsigned phantom = 0; // zero bytes added past the end, in bits
    const unsigned char* in = nullptr;
    const unsigned char* inEnd = nullptr;
    bool inputDone = false;
    const Fill* fill = nullptr;
    const Flush* flush = nullptr;

    // Decoded data: the window's last 64 KiB before `Window`, the piece not
    // yet handed on from `Window` to `out`.
    std::vector<unsigned char> buffer = std::vector<unsigned char>(BufferSize);
    std::size_t out = Window;
    std::uint64_t produced = 0; // handed on so far

    std::vector<Entry> litLen = std::vector<Entry>(LitLenTableSize);
    std::vector<Entry> distance = std::vector<Entry>(DistanceTableSize);
    std::vector<Entry> codeLength = std::vector<Entry>(CodeLengthTableSize);
    std::vector<Entry> fixedLitLen;
    std::vector<Entry> fixedDistance;

    void pull()
    {
        if (inputDone)
            return;
        const Piece piece = (*fill)();
        if (piece.size == 0) {
            inputDone = true;
            return;
        }
        in = piece.data;
        inEnd = piece.data + piece.size;
    }

    // At least 56 bits in `bits` afterwards.
    void refill()
    {
        if (count >= 56)
            return;
        if (inEnd - in >= 8) {
            std::uint64_t word;
            std::memcpy(&word, in, 8);
            // Little-endian hosts only (x86-64 Linux and Windows). The bytes
            // loaded beyond those counted are loaded again, with the same
            // value, by the next refill.
            bits |= word << count;
            in += (63 - count) >> 3;
            count |= 56;
            return;
        }
        while (count <= 56) {
            if (in == inEnd)
                pull();
            if (in == inEnd) {
                phantom += 8;
                if (phantom > 8 * MaxPhantomBytes)
                    throw EndsEarly();
            } else {
                bits |= static_cast<std::uint64_t>(*in++) << count;
            }
            count += 8;
        }
    }

    unsigned take(unsigned n)
    {
        const auto value = static_cast<unsigned>(bits & ((std::uint64_t{1} << n) - 1));
        bits >>= n;
        count -= n;
        return value;
    }

    // Throws when any bit taken so far was one of the zero bytes past the
    // end.
    void checkNotPastEnd() const
    {
        if (phantom > count)
            throw EndsEarly();
    }

    Entry decode(const std::vector<Entry>& table, int primaryBits) const
    {
        Entry entry = table[bits & ((1u << primaryBits) - 1)];
        if (entry.op & OpLink)
            entry = table[entry.value + ((bits >> primaryBits) & ((1u << (entry.op - OpLink)) - 1))];
        return entry;
    }

    void handOn()
    {
        checkNotPastEnd();
        if (out > Window)
            (*flush)(buffer.data() + Window, out - Window);
        produced += out - Window;
        std::memmove(buffer.data(), buffer.data() + out - Window, Window);
        out = Window;
    }

    void storedBlock()
    {
        if (out >= Window + OutputPiece)
            handOn();
        take(count & 7);
        refill();
        const unsigned length = take(16);
        const unsigned complement = take(16);
        checkNotPastEnd();
        if ((length ^ 0xffff) != complement)
            throw Invalid();
        std::size_t left = length;
        // Whole bytes still in the bit buffer come first.
        while (left > 0 && count >= 8) {
            if (count - phantom < 8)
                throw EndsEarly();
            buffer[out++] = static_cast<unsigned char>(take(8));
            --left;
        }
        // The bit buffer is empty now but may still hold the bytes ahead,
        // which are copied from the input directly.
        if (left > 0)
            bits = 0;
        while (left > 0) {
            if (in == inEnd)
                pull();
            if (in == inEnd)
                throw EndsEarly();
            const std::size_t room = BufferSize - CopySlack - out;
            std::size_t step = static_cast<std::size_t>(inEnd - in);
            step = step < left ? step : left;
            step = step < room ? step : room;
            std::memcpy(buffer.data() + out, in, step);
            in += step;
            out += step;
            left -= step;
            if (out >= Window + OutputPiece)
                handOn();
        }
    }

    void readDynamicTables()
    {
        refill();
        const unsigned litLenCount = take(5) + 257;
        const unsigned distanceCount = take(5) + 1;
        const unsigned codeLengthCount = take(4) + 4;
        if (litLenCount > 286)
            throw Invalid();
        std::uint8_t lengths[LitLenSymbols + DistanceSymbols] = {};
        for (unsigned i = 0; i < codeLengthCount; ++i) {
            if (count < 3)
                refill();
            lengths[CodeLengthOrder[i]] = static_cast<std::uint8_t>(take(3));
        }
        buildTable(lengths, 19, CodeLengthBits, codeLength.data(), codeLengthSymbol);

        std::memset(lengths, 0, sizeof lengths);
        const unsigned total = litLenCount + distanceCount;
        unsigned i = 0;
        while (i < total) {
            refill();
            const Entry entry = decode(codeLength, CodeLengthBits);
            if (entry.op == OpInvalid)
                throw Invalid();
            take(entry.bits);
            const unsigned symbol = entry.value;
            if (symbol < 16) {
                lengths[i++] = static_cast<std::uint8_t>(symbol);
                continue;
            }
            std::uint8_t repeated = 0;
            unsigned times = 0;
            if (symbol == 16) {
                if (i == 0)
                    throw Invalid();
                repeated = lengths[i - 1];
                times = 3 + take(2);
            } else if (symbol == 17) {
                times = 3 + take(3);
            } else {
                times = 11 + take(7);
            }
            if (times > total - i)
                throw Invalid();
            while (times-- > 0)
                lengths[i++] = repeated;
        }
        checkNotPastEnd();
        // A block without an end code could never end.
        if (lengths[256] == 0)
            throw Invalid();
        buildTable(lengths, static_cast<int>(litLenCount), LitLenBits, litLen.data(), litLenSymbol);
        buildTable(lengths + litLenCount, static_cast<int>(distanceCount), DistanceBits, distance.data(),
                   distanceSymbol);
    }

    void buildFixedTables()
    {
        if (!fixedLitLen.empty())
            return;
        std::uint8_t lengths[LitLenSymbols];
        std::memset(lengths, 8, 144);
        std::memset(lengths + 144, 9, 112);
        std::memset(lengths + 256, 7, 24);
        std::memset(lengths + 280, 8, 8);
        std::vector<Entry> litLenTable(LitLenTableSize);
        buildTable(lengths, LitLenSymbols, LitLenBits, litLenTable.data(), litLenSymbol);
        std::memset(lengths, 5, DistanceSymbols);
        std::vector<Entry> distanceTable(DistanceTableSize);
        buildTable(lengths, DistanceSymbols, DistanceBits, distanceTable.data(), distanceSymbol);
        fixedLitLen = std::move(litLenTable);
        fixedDistance = std::move(distanceTable);
    }

    void huffmanBlock(const std::vector<Entry>& lengthTable, const std::vector<Entry>& distanceTable)
    {
        unsigned char* const data = buffer.data();
        for (;;) {
            if (out >= Window + OutputPiece)
                handOn();
            refill();
            Entry entry = decode(lengthTable, LitLenBits);
            take(entry.bits);
            if (entry.op == OpLiteral) {
                data[out++] = static_cast<unsigned char>(entry.value);
                continue;
            }
            if (entry.op == OpEndOfBlock)
                return;
            if (entry.op == OpInvalid)
                throw Invalid();
            const std::size_t length = entry.value + take(entry.op - OpBase);
            refill();
            entry = decode(distanceTable, DistanceBits);
            if (entry.op == OpInvalid)
                throw Invalid();
            take(entry.bits);
            const std::size_t distance = entry.value + take(entry.op - OpBase);
            // Nothing before the stream's start can be referred to.
            if (distance > produced + (out - Window))
                throw Invalid();
            unsigned char* to = data + out;
            const unsigned char* from = to - distance;
            unsigned char* const end = to + length;
            if (distance >= 8) {
                // May copy up to 7 bytes past the end, into the slack.
                do {
                    std::memcpy(to, from, 8);
                    to += 8;
                    from += 8;
                } while (to < end);
            } else if (distance == 1) {
                std::memset(to, *from, length);
            } else {
                while (to < end)
                    *to++ = *from++;
            }
            out += length;
        }
    }

    void run()
    {
        bool last = false;
        while (!last) {
            refill();
            last = take(1) != 0;
            const unsigned type = take(2);
            if (type == 0)
                storedBlock();
            else if (type == 1) {
                buildFixedTables();
                huffmanBlock(fixedLitLen, fixedDistance);
            } else if (type == 2) {
                readDynamicTables();
                huffmanBlock(litLen, distance);
            } else {
                throw Invalid();
            }
        }
        handOn();
    }
};

Deflate64Inflater::Deflate64Inflater()
    : m_state(std::make_unique<State>())
{}

Deflate64Inflater::~Deflate64Inflater() = default;

Deflate64Inflater::Result Deflate64Inflater::inflate(const Fill& fill, const Flush& flush)
{
    State& s = *m_state;
    s.bits = 0;
    s.count = 0;
    s.phantom = 0;
    s.in = nullptr;
    s.inEnd = nullptr;
    s.inputDone = false;
    s.fill = &fill;
    s.flush = &flush;
    s.out = Window;
    s.produced = 0;
    try {
        s.run();
    } catch (const Invalid&) {
        return Result::Invalid;
    } catch (const EndsEarly&) {
        return Result::EndsEarly;
    }
    return Result::Done;
}

} // namespace zipcore
