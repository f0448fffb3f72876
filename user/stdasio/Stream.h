// OVSTREAM: one exclusive-mode, event-driven WASAPI client of the standard ASIO driver, with
// OVRENDER (fed from the render queue by its stream thread) and OVCAPTURE (read by the engine
// thread) as its two directions.
#pragma once
#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <audiopolicy.h>

class OVASIO;
class OVAUDIOSESSIONNOTIFICATIONS;
class OVQUEUE;

// Results of the stream operations; callers treat any non-zero code as failure.
enum : DWORD {
    OV_STREAM_OK = 0,
    OV_STREAM_FAILED = 1,      // a platform call failed
    OV_STREAM_INVALID = 2,     // null endpoint identifier, unsupported rate
    OV_STREAM_MISSING = 3,     // no device, client, service or session control yet
    OV_STREAM_PRESENT = 4,     // already done
    OV_STREAM_NO_ENDPOINT = 5, // the identifier names no endpoint
};

// Data flows, as the endpoints count them.
enum : DWORD {
    OV_FLOW_RENDER = 0,
    OV_FLOW_CAPTURE = 1,
};

// Stream-thread wait before a health check of the client, milliseconds.
inline constexpr DWORD OV_STREAM_HEALTH_WAIT_MS = 100;

template <class TService>
class OVSTREAM {
public:
    // Creates the buffer and stop events; a failed creation leaves that handle null.
    OVSTREAM(OVASIO *owner, DWORD flow);
    virtual ~OVSTREAM();
    OVSTREAM(const OVSTREAM &) = delete;
    OVSTREAM &operator=(const OVSTREAM &) = delete;

    // Initializes the activated client: exclusive, event-driven, 2 channels of bits at rate
    // (44100 or 48000), buffer and period both duration (100-ns units).
    virtual DWORD open(DWORD rate, REFERENCE_TIME duration, WORD bits) = 0;
    // Runs before IAudioClient::Start.
    virtual DWORD prime() = 0;
    // One period of the stream thread.
    virtual DWORD period() = 0;

    // Opening, in this order; each refuses with OV_STREAM_PRESENT when its part exists.
    DWORD getDevice(LPCWSTR endpointId);
    DWORD activate();
    DWORD getServices();
    // Registers a new session-events object; on success it is also stored through out.
    DWORD registerSessionEvents(OVAUDIOSESSIONNOTIFICATIONS **out);
    // The stream thread; needs an opened client and its service.
    DWORD startThread();
    // prime, then IAudioClient::Start.
    DWORD startClient();
    DWORD signalStop();
    // Waits for the stream thread without time-out and stops the client.
    DWORD joinThread();
    // Unregisters the session events and releases every interface; the client is not
    // stopped and the thread and events are not touched.
    DWORD close();
    // TRUE while the client answers; else the owner's stop event is set and the owner told
    // the session is lost.
    BOOL checkHealth();
    UINT32 bufferFrames() const { return m_bufferFrames; }
    WORD blockAlign() const { return m_blockAlign; }
    HANDLE bufferEvent() const { return m_bufferEvent; }
    BOOL hasThread() const { return m_thread != nullptr; }

protected:
    // The open both directions share.
    DWORD openClient(DWORD rate, REFERENCE_TIME duration, WORD bits);

    OVASIO *m_owner;
    DWORD m_flow;
    HANDLE m_thread;
    IMMDevice *m_device;
    IAudioClient *m_client;
    TService *m_service;
    IAudioSessionControl *m_sessionControl;
    HANDLE m_bufferEvent;
    HANDLE m_stopEvent;
    OVAUDIOSESSIONNOTIFICATIONS *m_sessionEvents;
    WORD m_blockAlign;
    UINT32 m_bufferFrames;

private:
    static DWORD WINAPI threadProc(LPVOID context);
    DWORD streamThread();
};

extern template class OVSTREAM<IAudioRenderClient>;
extern template class OVSTREAM<IAudioCaptureClient>;

class OVRENDER : public OVSTREAM<IAudioRenderClient> {
public:
    // queue: the blocks this stream plays, owned by the caller and outliving the stream.
    OVRENDER(OVASIO *owner, OVQUEUE *queue) : OVSTREAM<IAudioRenderClient>(owner, OV_FLOW_RENDER), m_queue(queue) {}
    ~OVRENDER() override;

    DWORD open(DWORD rate, REFERENCE_TIME duration, WORD bits) override;
    // One render period, so the device starts with a full buffer.
    DWORD prime() override;
    DWORD period() override { return renderPeriod(); }
    // Fills the whole WASAPI buffer from the render queue, or releases it silent when the
    // queue holds no block of that size.
    DWORD renderPeriod();

private:
    OVQUEUE *const m_queue;
};

class OVCAPTURE : public OVSTREAM<IAudioCaptureClient> {
public:
    explicit OVCAPTURE(OVASIO *owner)
        : OVSTREAM<IAudioCaptureClient>(owner, OV_FLOW_CAPTURE), m_staging(nullptr), m_stagingFrames(0)
    {
    }
    ~OVCAPTURE() override = default;

    DWORD open(DWORD rate, REFERENCE_TIME duration, WORD bits) override;
    DWORD prime() override { return OV_STREAM_OK; }
    // The capture stream has no stream thread; the engine thread reads it.
    DWORD period() override { return OV_STREAM_OK; }

    HANDLE getBufferEvent() const { return m_bufferEvent; }
    // The driver's staging buffer: frames interleaved 16-bit stereo frames, which is also the
    // length of each channel half that readPeriod and readSilence fill. Owned by the driver.
    VOID setBuffers(BYTE *staging, DWORD frames);
    // Takes one packet into two channel halves (16-bit samples), at most the staging length;
    // a part of the halves the packet does not cover is zeroed. A failed GetBuffer writes
    // nothing.
    VOID readPeriod(SHORT *left, SHORT *right);
    // Takes and releases one packet and zeroes frames samples of each half (at most the
    // staging length).
    VOID readSilence(SHORT *left, SHORT *right, DWORD frames);

private:
    BYTE *m_staging;
    DWORD m_stagingFrames;
};
