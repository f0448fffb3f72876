// SHCreateMemStream: a stream over its own growable copy of the bytes it was made from, with
// one position, safe to use from several threads (each call holds the stream's lock).
#include <shlwapi.h>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace {

// A stream of at most 4 GiB less one byte, as its sizes are 32-bit counts on the way in.
constexpr ULONGLONG max_stream_bytes = 0xFFFFFFFFull;

class memory_stream final : public IStream {
public:
    explicit memory_stream(std::vector<BYTE> bytes) : m_bytes(std::move(bytes)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **ppvObject) override
    {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream) {
            *ppvObject = static_cast<IStream *>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return (ULONG)++m_references; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = (ULONG)--m_references;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // S_FALSE when fewer bytes than asked for were left.
    STDMETHODIMP Read(void *pv, ULONG cb, ULONG *pcbRead) override
    {
        if (pv == nullptr && cb != 0) {
            return STG_E_INVALIDPOINTER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        const ULONGLONG available = m_position < m_bytes.size() ? m_bytes.size() - m_position : 0;
        const ULONG count = (ULONG)std::min<ULONGLONG>(cb, available);
        if (count != 0) {
            std::memcpy(pv, m_bytes.data() + m_position, count);
        }
        m_position += count;
        if (pcbRead != nullptr) {
            *pcbRead = count;
        }
        return count == cb ? S_OK : S_FALSE;
    }

    STDMETHODIMP Write(const void *pv, ULONG cb, ULONG *pcbWritten) override
    {
        if (pcbWritten != nullptr) {
            *pcbWritten = 0;
        }
        if (pv == nullptr && cb != 0) {
            return STG_E_INVALIDPOINTER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_position + cb > max_stream_bytes) {
            return STG_E_MEDIUMFULL;
        }
        try {
            if (m_position + cb > m_bytes.size()) {
                m_bytes.resize((size_t)(m_position + cb), 0);
            }
        } catch (const std::bad_alloc &) {
            return E_OUTOFMEMORY;
        }
        if (cb != 0) {
            std::memcpy(m_bytes.data() + m_position, pv, cb);
        }
        m_position += cb;
        if (pcbWritten != nullptr) {
            *pcbWritten = cb;
        }
        return S_OK;
    }

    // A position may lie beyond the end (a later write fills the gap with zeros), never
    // before the start.
    STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER *plibNewPosition) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        LONGLONG base = 0;
        switch (dwOrigin) {
        case STREAM_SEEK_SET:
            break;
        case STREAM_SEEK_CUR:
            base = (LONGLONG)m_position;
            break;
        case STREAM_SEEK_END:
            base = (LONGLONG)m_bytes.size();
            break;
        default:
            return STG_E_INVALIDFUNCTION;
        }
        const LONGLONG target = base + dlibMove.QuadPart;
        if (target < 0 || (ULONGLONG)target > max_stream_bytes) {
            return STG_E_INVALIDFUNCTION;
        }
        m_position = (ULONGLONG)target;
        if (plibNewPosition != nullptr) {
            plibNewPosition->QuadPart = m_position;
        }
        return S_OK;
    }

    STDMETHODIMP SetSize(ULARGE_INTEGER libNewSize) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (libNewSize.QuadPart > max_stream_bytes) {
            return STG_E_MEDIUMFULL;
        }
        try {
            m_bytes.resize((size_t)libNewSize.QuadPart, 0);
        } catch (const std::bad_alloc &) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    STDMETHODIMP CopyTo(IStream *pstm, ULARGE_INTEGER cb, ULARGE_INTEGER *pcbRead, ULARGE_INTEGER *pcbWritten) override
    {
        if (pstm == nullptr) {
            return STG_E_INVALIDPOINTER;
        }
        std::vector<BYTE> part;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            const ULONGLONG available = m_position < m_bytes.size() ? m_bytes.size() - m_position : 0;
            const ULONGLONG count = std::min(cb.QuadPart, available);
            part.assign(m_bytes.begin() + (ptrdiff_t)m_position, m_bytes.begin() + (ptrdiff_t)(m_position + count));
            m_position += count;
        }
        ULONG written = 0;
        const HRESULT hr = pstm->Write(part.data(), (ULONG)part.size(), &written);
        if (pcbRead != nullptr) {
            pcbRead->QuadPart = part.size();
        }
        if (pcbWritten != nullptr) {
            pcbWritten->QuadPart = written;
        }
        return hr;
    }

    STDMETHODIMP Commit(DWORD) override { return S_OK; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

    // The stream has no name: pwcsName is null whatever the flags ask.
    STDMETHODIMP Stat(STATSTG *pstatstg, DWORD) override
    {
        if (pstatstg == nullptr) {
            return STG_E_INVALIDPOINTER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        *pstatstg = STATSTG{};
        pstatstg->type = STGTY_STREAM;
        pstatstg->cbSize.QuadPart = m_bytes.size();
        pstatstg->grfMode = STGM_READWRITE;
        return S_OK;
    }

    // A clone has its own copy of the bytes and starts at this stream's position.
    STDMETHODIMP Clone(IStream **ppstm) override
    {
        if (ppstm == nullptr) {
            return STG_E_INVALIDPOINTER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        try {
            memory_stream *copy = new memory_stream(m_bytes);
            copy->m_position = m_position;
            *ppstm = copy;
            return S_OK;
        } catch (const std::bad_alloc &) {
            *ppstm = nullptr;
            return E_OUTOFMEMORY;
        }
    }

private:
    ~memory_stream() = default;

    std::atomic<LONG> m_references{1};
    std::mutex m_lock;
    std::vector<BYTE> m_bytes;
    ULONGLONG m_position = 0;
};

} // namespace

extern "C" IStream *WINAPI SHCreateMemStream(const BYTE *pInit, UINT cbInit)
{
    try {
        std::vector<BYTE> bytes;
        if (pInit != nullptr) {
            bytes.assign(pInit, pInit + cbInit);
        }
        return new memory_stream(std::move(bytes));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
