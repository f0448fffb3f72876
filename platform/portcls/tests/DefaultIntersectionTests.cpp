// The port's own data-range intersection, used when a miniport leaves it to the port.
#include <gtest/gtest.h>
#include "../portcls_internal.h"

namespace {

KSDATARANGE_AUDIO range(ULONG channels, ULONG min_bits, ULONG max_bits, ULONG min_rate, ULONG max_rate)
{
    KSDATARANGE_AUDIO r{};
    r.DataRange.FormatSize = sizeof(r);
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    r.MaximumChannels = channels;
    r.MinimumBitsPerSample = min_bits;
    r.MaximumBitsPerSample = max_bits;
    r.MinimumSampleFrequency = min_rate;
    r.MaximumSampleFrequency = max_rate;
    return r;
}

TEST(DefaultIntersection, PicksTheHighestCommonValues)
{
    KSDATARANGE_AUDIO client = range(8, 8, 32, 8000, 96000);
    KSDATARANGE_AUDIO own = range(2, 16, 24, 44100, 192000);
    KSDATAFORMAT_WAVEFORMATEX format{};
    ULONG size = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW,
              platform::pc_default_intersection(&client.DataRange, &own.DataRange, 0, nullptr, &size));
    EXPECT_EQ(sizeof(format), size);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              platform::pc_default_intersection(&client.DataRange, &own.DataRange, sizeof(format) - 1, &format, &size));
    ASSERT_EQ(STATUS_SUCCESS,
              platform::pc_default_intersection(&client.DataRange, &own.DataRange, sizeof(format), &format, &size));
    EXPECT_EQ(WAVE_FORMAT_PCM, format.WaveFormatEx.wFormatTag);
    EXPECT_EQ(2u, format.WaveFormatEx.nChannels);
    EXPECT_EQ(24u, format.WaveFormatEx.wBitsPerSample);
    EXPECT_EQ(96000u, format.WaveFormatEx.nSamplesPerSec);
    EXPECT_EQ(6u, format.WaveFormatEx.nBlockAlign);
    EXPECT_EQ(96000u * 6, format.WaveFormatEx.nAvgBytesPerSec);
    EXPECT_EQ(6u, format.DataFormat.SampleSize);
}

TEST(DefaultIntersection, DisjointRangesDoNotMatch)
{
    KSDATARANGE_AUDIO own = range(2, 16, 16, 44100, 48000);
    KSDATARANGE_AUDIO rates = range(2, 16, 16, 96000, 192000);
    KSDATARANGE_AUDIO bits = range(2, 24, 32, 44100, 48000);
    KSDATARANGE_AUDIO channels = range(0, 16, 16, 44100, 48000);
    KSDATARANGE plain = own.DataRange;
    plain.FormatSize = sizeof(KSDATARANGE);
    KSDATAFORMAT_WAVEFORMATEX format{};
    ULONG size = 0;
    for (const KSDATARANGE *client : {&rates.DataRange, &bits.DataRange, &channels.DataRange, &plain}) {
        EXPECT_EQ(STATUS_NO_MATCH,
                  platform::pc_default_intersection(client, &own.DataRange, sizeof(format), &format, &size));
    }
}

} // namespace
