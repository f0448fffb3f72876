// The feature unit entity: per-channel mute and volume controls of both class revisions.
#pragma once
#include "USBAudioEntity.h"

constexpr ULONG UAC_FU_MUTE = 0;
constexpr ULONG UAC_FU_VOLUME = 1;
constexpr ULONG UAC_FU_MODE_READ = 1;
constexpr ULONG UAC_FU_MODE_WRITE = 2;
constexpr UCHAR UAC_FU_DIRECTION_GET = 0x80;
constexpr UCHAR UAC_FU_DIRECTION_SET = 0x00;

class CUSBAudioFeatureUnit : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    NTSTATUS Init() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    LONG GetSourceID(ULONG index) override;

    // Logical channels including the master channel 0; 0 for a descriptor without controls.
    ULONG GetChannelCount();
    // control: UAC_FU_MUTE or UAC_FU_VOLUME; mode: UAC_FU_MODE_READ or UAC_FU_MODE_WRITE.
    BOOLEAN HasControl(ULONG channel, ULONG control, ULONG mode);
    BOOLEAN HasControlOnAnyChannel(ULONG control);
    // Sends one mute or volume request (direction UAC_FU_DIRECTION_GET or _SET). Combinations
    // the class revision does not define, and absent controls, give STATUS_NOT_SUPPORTED.
    // PASSIVE_LEVEL.
    NTSTATUS Request(ULONG channel, ULONG control, UCHAR direction, UCHAR request, PVOID buffer, ULONG length);

    CUSBAudioEntity *GetSource() const { return m_pSource; }

private:
    CUSBAudioEntity *m_pSource;
};
