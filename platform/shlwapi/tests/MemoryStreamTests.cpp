// SHCreateMemStream: a stream over its own copy of the bytes, read in parts with short reads
// reported, sought from each origin but never before the start, grown by writes and SetSize,
// described by Stat, cloned at its position, and released with its last reference.
#include <gtest/gtest.h>
#include <shlwapi.h>
#include <platform/machine_state.h>
#include <cstring>
#include <string>

namespace {

class MemoryStreamTest : public ::testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override { platform::machine_shutdown(); }

    static ULONGLONG seek(IStream *stream, LONGLONG move, DWORD origin, HRESULT *hr = nullptr)
    {
        LARGE_INTEGER offset;
        offset.QuadPart = move;
        ULARGE_INTEGER position;
        position.QuadPart = 0xDEADull;
        const HRESULT result = stream->Seek(offset, origin, &position);
        if (hr != nullptr) {
            *hr = result;
        }
        return position.QuadPart;
    }

    static std::string read(IStream *stream, ULONG count, HRESULT *hr = nullptr)
    {
        std::string text(count, '\0');
        ULONG got = 0xFFFF;
        const HRESULT result = stream->Read(text.data(), count, &got);
        if (hr != nullptr) {
            *hr = result;
        }
        text.resize(got);
        return text;
    }
};

TEST_F(MemoryStreamTest, ReadsItsOwnCopyInPartsAndReportsAShortRead)
{
    BYTE source[] = {'h', 'e', 'l', 'l', 'o'};
    IStream *stream = SHCreateMemStream(source, sizeof(source));
    ASSERT_NE(nullptr, stream);
    source[0] = 'j';
    HRESULT hr = E_FAIL;
    EXPECT_EQ("hel", read(stream, 3, &hr));
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ("lo", read(stream, 4, &hr));
    EXPECT_EQ(S_FALSE, hr) << "fewer bytes than asked for";
    EXPECT_EQ("", read(stream, 1, &hr));
    EXPECT_EQ(S_FALSE, hr);
    STATSTG stat;
    std::memset(&stat, 0xCD, sizeof(stat));
    ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_DEFAULT));
    EXPECT_EQ(5u, stat.cbSize.QuadPart);
    EXPECT_EQ((DWORD)STGTY_STREAM, stat.type);
    EXPECT_EQ(nullptr, stat.pwcsName);
    EXPECT_EQ(0u, stream->Release());

    IStream *empty = SHCreateMemStream(nullptr, 0);
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ("", read(empty, 2, &hr));
    EXPECT_EQ(S_FALSE, hr);
    empty->Release();
}

TEST_F(MemoryStreamTest, SeeksFromEachOriginButNotBeforeTheStart)
{
    const BYTE source[] = {'0', '1', '2', '3', '4', '5'};
    IStream *stream = SHCreateMemStream(source, sizeof(source));
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ(4u, seek(stream, 4, STREAM_SEEK_SET));
    EXPECT_EQ(2u, seek(stream, -2, STREAM_SEEK_CUR));
    EXPECT_EQ("23", read(stream, 2));
    EXPECT_EQ(5u, seek(stream, -1, STREAM_SEEK_END));
    HRESULT hr = S_OK;
    seek(stream, -7, STREAM_SEEK_END, &hr);
    EXPECT_EQ(STG_E_INVALIDFUNCTION, hr);
    seek(stream, 0, 7, &hr);
    EXPECT_EQ(STG_E_INVALIDFUNCTION, hr);
    EXPECT_EQ("5", read(stream, 1)) << "a refused seek leaves the position";
    stream->Release();
}

TEST_F(MemoryStreamTest, WritesGrowTheStreamAndClonesKeepTheirOwnBytes)
{
    IStream *stream = SHCreateMemStream(reinterpret_cast<const BYTE *>("ab"), 2);
    ASSERT_NE(nullptr, stream);
    seek(stream, 4, STREAM_SEEK_SET);
    ULONG written = 0;
    ASSERT_EQ(S_OK, stream->Write("xy", 2, &written));
    EXPECT_EQ(2u, written);
    seek(stream, 0, STREAM_SEEK_SET);
    EXPECT_EQ(std::string("ab\0\0xy", 6), read(stream, 10)) << "the gap is filled with zeros";

    seek(stream, 1, STREAM_SEEK_SET);
    IStream *clone = nullptr;
    ASSERT_EQ(S_OK, stream->Clone(&clone));
    ASSERT_NE(nullptr, clone);
    ASSERT_EQ(S_OK, stream->Write("B", 1, nullptr));
    EXPECT_EQ(std::string("b\0", 2), read(clone, 2)) << "the clone starts at the position, with its own bytes";

    ULARGE_INTEGER size;
    size.QuadPart = 3;
    ASSERT_EQ(S_OK, stream->SetSize(size));
    seek(stream, 0, STREAM_SEEK_SET);
    EXPECT_EQ(std::string("aB\0", 3), read(stream, 10));

    IStream *as_stream = nullptr;
    EXPECT_EQ(S_OK, stream->QueryInterface(IID_ISequentialStream, reinterpret_cast<void **>(&as_stream)));
    EXPECT_EQ(stream, as_stream);
    void *other = &size;
    EXPECT_EQ(E_NOINTERFACE, stream->QueryInterface(IID_IClassFactory, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(1u, as_stream->Release());
    EXPECT_EQ(0u, stream->Release());
    EXPECT_EQ(0u, clone->Release());
}

} // namespace
