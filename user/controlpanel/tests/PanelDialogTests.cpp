// The control panel end to end on the simulated machine with the asynchronous kernel driver:
// the device list and the current device, the rate combo and the buffer-size slider with the
// settings they write, a host holding the driver, a second start, and devices that come and go.
#include "PanelFixture.h"
#include <commctrl.h>
#include <gdiplus.h>
#include <wingdi.h>
#include <shlwapi.h>
#include <fstream>
#include <iterator>
#include <platform/trace.h>
#include <platform/ui_automation.h>
#include <algorithm>
#include "CmnRegUtil.h"
#include "ControlPanelResources.h"
#include "ControlPanelTrace.h"
#include "PanelTestSupport.h"

namespace {

using panel_test::SimulatedHost;
using panel_test::wait_for;
namespace ui = platform::ui;

const std::vector<std::wstring> SixRates = {L"44100 Hz", L"48000 Hz", L"88200 Hz",
                                            L"96000 Hz", L"176400 Hz", L"192000 Hz"};

class PanelDialogTest : public PanelTest {};

// Whether the panel's provider traced a record at level or more severe.
bool panel_traced(const platform::trace_capture &capture, UCHAR level)
{
    const auto records = capture.records();
    return std::any_of(records.begin(), records.end(),
                       [level](const platform::trace_record &r) { return r.level <= level; });
}

TEST_F(PanelDialogTest, ListsTheDevicesAndKeepsTheStoredOneCurrent)
{
    const attached_device first = attach(u"OVM0001");
    const attached_device second = attach(u"OVM0002", {}, u"Marla & Partner USB Audio");
    std::wstring stored = second.instance_id;
    std::transform(stored.begin(), stored.end(), stored.begin(), [](WCHAR c) { return (WCHAR)towlower(c); });
    store_selected(stored); // matched ignoring ASCII case
    platform::trace_capture capture(&OVMLSAACPL_TRACE_GUID, TRACE_LEVEL_ERROR);
    ASSERT_NE(nullptr, start_panel());
    EXPECT_FALSE(panel_traced(capture, TRACE_LEVEL_ERROR)) << "a normal start";

    const std::vector<std::wstring> rows = items(IDC_DEVICE_LIST);
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(first.description, rows[0]);
    EXPECT_EQ(L"Marla && Partner USB Audio", rows[1]) << "an ampersand is doubled, not a mnemonic";
    EXPECT_EQ(1, selection(IDC_DEVICE_LIST));
    EXPECT_EQ(1, bold_row());
    EXPECT_EQ(rows[1], control_text(IDC_SETTING_GROUP));
    EXPECT_EQ(stored, stored_selected()) << "a device that is found is not written again";
    EXPECT_EQ(PANEL_WINDOW_TITLE, control_text(0));
    EXPECT_EQ(L"Orvan Marla Series High Performance ASIO Driver\r\nVersion 4.1.0.65  built 05/24/2023\r\n"
              L"ASIO Technology by Steinberg Media Technologies GmbH\r\n",
              control_text(IDC_VERSION_TEXT));

    // The ampersand is drawn as itself.
    const auto drawn = ui::paint_list_box(m_panel, IDC_DEVICE_LIST);
    ASSERT_EQ(2u, drawn.size());
    for (const auto &item : drawn) {
        EXPECT_TRUE(item.dc_restored);
    }
}

TEST_F(PanelDialogTest, AStoredDeviceThatIsAbsentGivesWayToTheFirst)
{
    const attached_device first = attach(u"OVM0001");
    attach(u"OVM0002");
    store_selected(L"USB\\VID_3A51&PID_0102\\GONE");
    ASSERT_NE(nullptr, start_panel());
    EXPECT_EQ(0, selection(IDC_DEVICE_LIST));
    EXPECT_EQ(0, bold_row());
    EXPECT_EQ(first.instance_id, stored_selected());
}

TEST_F(PanelDialogTest, AStoredDeviceThatIsAbsentStaysStoredWhileAHostHoldsTheDriver)
{
    const attached_device first = attach(u"OVM0001");
    attach(u"OVM0002");
    const std::wstring gone = L"USB\\VID_3A51&PID_0102\\GONE";
    store_selected(gone);
    store_number(REGVAL_SAMPLING_RATE, 44100);
    SimulatedHost host;
    ASSERT_TRUE(host.take());
    ASSERT_NE(nullptr, start_panel());
    EXPECT_EQ(0, selection(IDC_DEVICE_LIST));
    EXPECT_EQ(first.description, control_text(IDC_SETTING_GROUP));
    EXPECT_EQ(-1, bold_row()) << "no present device is the host's";
    EXPECT_EQ(gone, stored_selected());
    EXPECT_FALSE(control_enabled(IDC_BUFFER_SLIDER));
    EXPECT_EQ(L"----", control_text(IDC_BUFFER_TEXT));
    EXPECT_EQ(44100u, stored_number(REGVAL_SAMPLING_RATE));
}

TEST_F(PanelDialogTest, ChoosingADeviceMakesItCurrent)
{
    attach(u"OVM0001");
    const attached_device second = attach(u"OVM0002");
    ASSERT_NE(nullptr, start_panel());
    ASSERT_EQ(0, bold_row());

    ASSERT_TRUE(select(IDC_DEVICE_LIST, 1));
    EXPECT_EQ(second.instance_id, stored_selected());
    EXPECT_EQ(1, bold_row());
    EXPECT_EQ(items(IDC_DEVICE_LIST)[1], control_text(IDC_SETTING_GROUP));
    EXPECT_TRUE(ui::read_control(m_panel, IDC_BUFFER_SLIDER).enabled);
}

TEST_F(PanelDialogTest, RateComboOffersTheDeviceRangeAndSetsTheChosenRate)
{
    const attached_device device = attach(u"OVM0001");
    store_number(REGVAL_SAMPLING_RATE, 48000);
    store_number(REGVAL_BUFFER_SIZE_INDEX, 7);
    ASSERT_NE(nullptr, start_panel());

    EXPECT_EQ(SixRates, items(IDC_RATE_COMBO));
    EXPECT_EQ(1, selection(IDC_RATE_COMBO));
    EXPECT_TRUE(control_enabled(IDC_RATE_COMBO));
    EXPECT_TRUE(control_enabled(IDC_RATE_LABEL));
    EXPECT_EQ(48000u, device_rate(device)) << "the stored rate is pushed to the device";
    EXPECT_EQ(L"512 Samples", control_text(IDC_BUFFER_TEXT));

    ASSERT_TRUE(select(IDC_RATE_COMBO, 3));
    EXPECT_EQ(96000u, stored_number(REGVAL_SAMPLING_RATE));
    EXPECT_EQ(96000u, device_rate(device));
    EXPECT_EQ(3, selection(IDC_RATE_COMBO));
    EXPECT_EQ(L"1024 Samples", control_text(IDC_BUFFER_TEXT)) << "the buffer length follows the new rate";
    EXPECT_TRUE(control_enabled(IDC_RATE_COMBO));
}

TEST_F(PanelDialogTest, ARateTheDeviceRefusesIsReportedAndUndone)
{
    sim::audio_device_options options;
    options.clock_rates = {44100, 48000, 192000};
    options.initial_rate = 48000;
    const attached_device device = attach(u"OVM0001", options);
    store_number(REGVAL_SAMPLING_RATE, 48000);
    ASSERT_NE(nullptr, start_panel());
    ASSERT_EQ(SixRates, items(IDC_RATE_COMBO)) << "rows run through the range, offered or not";
    const size_t boxes = ui::message_boxes().size();

    platform::trace_capture capture(&OVMLSAACPL_TRACE_GUID, TRACE_LEVEL_WARNING);
    ASSERT_TRUE(select(IDC_RATE_COMBO, 2)); // 88200 Hz
    EXPECT_TRUE(panel_traced(capture, TRACE_LEVEL_WARNING)) << "the refusal is traced";
    const auto shown = ui::message_boxes();
    ASSERT_EQ(boxes + 1, shown.size());
    EXPECT_EQ(L"Sound device is in use. You must close any application using this sound device before changing "
              L"this setting.",
              shown.back().text);
    EXPECT_EQ((UINT)MB_ICONEXCLAMATION, shown.back().type & (UINT)0xF0) << "the icon bits of the type";
    EXPECT_EQ(48000u, stored_number(REGVAL_SAMPLING_RATE)) << "the stored rate returns to the device's";
    EXPECT_EQ(48000u, device_rate(device));
    EXPECT_EQ(1, selection(IDC_RATE_COMBO));
    EXPECT_TRUE(control_enabled(IDC_RATE_COMBO));
}

TEST_F(PanelDialogTest, ADeviceWithOneRateGivesOneRowAndADisabledCombo)
{
    sim::audio_device_options options;
    options.clock_rates = {48000};
    options.initial_rate = 48000;
    attach(u"OVM0001", options);
    store_number(REGVAL_SAMPLING_RATE, 44100);
    ASSERT_NE(nullptr, start_panel());
    EXPECT_EQ(std::vector<std::wstring>{L"48000 Hz"}, items(IDC_RATE_COMBO));
    EXPECT_EQ(0, selection(IDC_RATE_COMBO));
    EXPECT_FALSE(control_enabled(IDC_RATE_COMBO));
    EXPECT_FALSE(control_enabled(IDC_RATE_LABEL));
    EXPECT_EQ(48000u, stored_number(REGVAL_SAMPLING_RATE)) << "a stored rate without a row becomes the first row's";
}

TEST_F(PanelDialogTest, ADeviceWhoseLowestRateIsNoTableRateOffersTheTableRatesAboveIt)
{
    sim::audio_device_options options;
    options.clock_rates = {22050, 44100, 48000};
    options.initial_rate = 48000;
    const attached_device device = attach(u"OVM0001", options);
    store_number(REGVAL_SAMPLING_RATE, 48000);
    ASSERT_NE(nullptr, start_panel());
    EXPECT_EQ((std::vector<std::wstring>{L"32000 Hz", L"44100 Hz", L"48000 Hz"}), items(IDC_RATE_COMBO));
    EXPECT_EQ(2, selection(IDC_RATE_COMBO));
    EXPECT_TRUE(control_enabled(IDC_RATE_COMBO));
    ASSERT_TRUE(select(IDC_RATE_COMBO, 1));
    EXPECT_EQ(44100u, stored_number(REGVAL_SAMPLING_RATE));
    EXPECT_EQ(44100u, device_rate(device));
}

TEST_F(PanelDialogTest, SliderStoresTheBufferSizeIndex)
{
    attach(u"OVM0001");
    store_number(REGVAL_SAMPLING_RATE, 48000);
    store_number(REGVAL_BUFFER_SIZE_INDEX, 40);
    ASSERT_NE(nullptr, start_panel());
    EXPECT_EQ(31u, stored_number(REGVAL_BUFFER_SIZE_INDEX)) << "an index above 31 is stored back as 31";
    ui::slider_state slider = ui::read_slider(m_panel, IDC_BUFFER_SLIDER);
    EXPECT_EQ(0, slider.range_min);
    EXPECT_EQ(31, slider.range_max);
    EXPECT_EQ(31, slider.position);
    EXPECT_EQ(L"2048 Samples", control_text(IDC_BUFFER_TEXT));

    ASSERT_TRUE(ui::move_slider(m_panel, IDC_BUFFER_SLIDER, 3));
    EXPECT_EQ(3u, stored_number(REGVAL_BUFFER_SIZE_INDEX));
    EXPECT_EQ(L"256 Samples", control_text(IDC_BUFFER_TEXT));

    ASSERT_TRUE(ui::press_slider_key(m_panel, IDC_BUFFER_SLIDER, TB_LINEDOWN));
    EXPECT_EQ(4u, stored_number(REGVAL_BUFFER_SIZE_INDEX));
    EXPECT_EQ(L"320 Samples", control_text(IDC_BUFFER_TEXT));
}

TEST_F(PanelDialogTest, ThumbPositionsBeyondTheRangeStoreTheDefaultAndTrackingStoresNothing)
{
    attach(u"OVM0001");
    store_number(REGVAL_SAMPLING_RATE, 48000);
    store_number(REGVAL_BUFFER_SIZE_INDEX, 3);
    ASSERT_NE(nullptr, start_panel());
    const HWND slider = GetDlgItem(m_panel, IDC_BUFFER_SLIDER);
    ASSERT_NE(nullptr, slider);
    struct row {
        WORD code;
        WORD position;
        DWORD stored;
        const WCHAR *text;
    };
    // Each row starts from index 3; a drag in progress and its end leave the setting alone.
    const row rows[] = {
        {SB_THUMBTRACK, 20, 3, L"256 Samples"},      {SB_ENDSCROLL, 20, 3, L"256 Samples"},
        {SB_THUMBPOSITION, 31, 31, L"2048 Samples"}, {SB_THUMBPOSITION, 32, 7, L"512 Samples"},
        {SB_THUMBPOSITION, 0xFFFF, 7, L"512 Samples"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.code << " at " << r.position);
        ASSERT_TRUE(ui::move_slider(m_panel, IDC_BUFFER_SLIDER, 3));
        ASSERT_EQ(3u, stored_number(REGVAL_BUFFER_SIZE_INDEX));
        SendMessageW(m_panel, WM_HSCROLL, MAKEWPARAM(r.code, r.position), (LPARAM)slider);
        EXPECT_EQ(r.stored, stored_number(REGVAL_BUFFER_SIZE_INDEX));
        EXPECT_EQ(r.text, control_text(IDC_BUFFER_TEXT));
        EXPECT_EQ((int)r.stored, ui::read_slider(m_panel, IDC_BUFFER_SLIDER).position);
    }
}

TEST_F(PanelDialogTest, ASettingsChangeByAnotherWriterIsShown)
{
    attach(u"OVM0001");
    store_number(REGVAL_SAMPLING_RATE, 48000);
    store_number(REGVAL_BUFFER_SIZE_INDEX, 7);
    ASSERT_NE(nullptr, start_panel());
    ASSERT_EQ(L"512 Samples", control_text(IDC_BUFFER_TEXT));

    store_number(REGVAL_BUFFER_SIZE_INDEX, 15);
    EXPECT_TRUE(wait_for([&] { return control_text(IDC_BUFFER_TEXT) == L"1024 Samples"; }));
    EXPECT_EQ(15, ui::read_slider(m_panel, IDC_BUFFER_SLIDER).position);

    store_number(REGVAL_SAMPLING_RATE, 96000);
    EXPECT_TRUE(wait_for([&] { return selection(IDC_RATE_COMBO) == 3; }));
}

TEST_F(PanelDialogTest, OnAFirstRunThePanelCreatesTheSettingsAndFollowsTheirChanges)
{
    attach(u"OVM0001");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, OVM_SETTINGS_KEY, 0, KEY_READ, &key));
    ASSERT_NE(nullptr, start_panel());
    EXPECT_EQ(7u, stored_number(REGVAL_BUFFER_SIZE_INDEX));
    EXPECT_EQ(44100u, stored_number(REGVAL_SAMPLING_RATE));
    ASSERT_EQ(L"512 Samples", control_text(IDC_BUFFER_TEXT));

    store_number(REGVAL_BUFFER_SIZE_INDEX, 15);
    EXPECT_TRUE(wait_for([&] { return control_text(IDC_BUFFER_TEXT) == L"1024 Samples"; }));
}

TEST_F(PanelDialogTest, WhileAHostHoldsTheDriverTheCurrentDeviceStays)
{
    const attached_device first = attach(u"OVM0001");
    const attached_device second = attach(u"OVM0002", {}, u"Second USB Audio");
    store_selected(first.instance_id);
    store_number(REGVAL_SAMPLING_RATE, 48000);
    SimulatedHost host;
    ASSERT_TRUE(host.take());
    ASSERT_NE(nullptr, start_panel());
    ASSERT_NE(-1, row_of(first));
    ASSERT_EQ(row_of(first), bold_row());

    const int other = row_of(second);
    ASSERT_TRUE(select(IDC_DEVICE_LIST, other));
    EXPECT_EQ(other, selection(IDC_DEVICE_LIST));
    EXPECT_EQ(second.description, control_text(IDC_SETTING_GROUP));
    EXPECT_EQ(first.instance_id, stored_selected());
    EXPECT_EQ(row_of(first), bold_row());
    EXPECT_FALSE(control_enabled(IDC_BUFFER_SLIDER));
    EXPECT_EQ(L"----", control_text(IDC_BUFFER_TEXT));
    // The other device is shown at its own rate, which may be changed on that device alone.
    EXPECT_EQ(SixRates, items(IDC_RATE_COMBO));
    EXPECT_EQ(0, selection(IDC_RATE_COMBO)) << "the device runs at 44100 Hz";
    EXPECT_TRUE(control_enabled(IDC_RATE_COMBO));
    ASSERT_TRUE(select(IDC_RATE_COMBO, 3));
    EXPECT_EQ(96000u, device_rate(second));
    EXPECT_EQ(48000u, device_rate(first));
    EXPECT_EQ(48000u, stored_number(REGVAL_SAMPLING_RATE));
    settle();

    // Once the host lets go, a click makes the device current.
    host.release();
    ASSERT_TRUE(wait_for([] {
        HANDLE inUse = OpenEventW(SYNCHRONIZE, FALSE, OVM_DRIVER_IN_USE_EVENT_NAME);
        const bool set = inUse != nullptr && WaitForSingleObject(inUse, 0) == WAIT_OBJECT_0;
        if (inUse != nullptr) {
            CloseHandle(inUse);
        }
        return !set;
    }));
    settle();
    ASSERT_TRUE(select(IDC_DEVICE_LIST, row_of(first)));
    ASSERT_TRUE(select(IDC_DEVICE_LIST, row_of(second)));
    EXPECT_EQ(second.instance_id, stored_selected());
    // Taking the stored rate, the device's driver registers its interface anew and the list
    // is read again: wait for the rows to settle.
    EXPECT_TRUE(wait_for([&] { return bold_row() == row_of(second) && control_enabled(IDC_BUFFER_SLIDER); }));
}

TEST_F(PanelDialogTest, AStoredDsdRateIsShownReadOnlyWhileAHostHoldsTheDriver)
{
    const attached_device device = attach(u"OVM0001");
    store_selected(device.instance_id);
    store_number(REGVAL_SAMPLING_RATE, 5644800);
    store_number(REGVAL_BUFFER_SIZE_INDEX, 7);
    SimulatedHost host;
    ASSERT_TRUE(host.take());
    ASSERT_NE(nullptr, start_panel());

    std::vector<std::wstring> expected = SixRates;
    expected.insert(expected.end(), {L"2.8224MHz", L"5.6448MHz", L"11.2896MHz"});
    EXPECT_EQ(expected, items(IDC_RATE_COMBO));
    EXPECT_EQ(7, selection(IDC_RATE_COMBO));
    EXPECT_FALSE(control_enabled(IDC_RATE_COMBO));
    // Index 7 is 2048 frames at the DSD rate's 176400 Hz base, 32 DSD samples each.
    EXPECT_EQ(L"65536 Samples", control_text(IDC_BUFFER_TEXT));
    EXPECT_EQ(5644800u, stored_number(REGVAL_SAMPLING_RATE));

    // The host lets go: the stored rate falls back to its PCM base and the combo follows.
    host.release();
    EXPECT_TRUE(wait_for([&] { return stored_number(REGVAL_SAMPLING_RATE) == 176400; }));
    EXPECT_TRUE(wait_for([&] { return items(IDC_RATE_COMBO) == SixRates && selection(IDC_RATE_COMBO) == 4; }));
    EXPECT_TRUE(wait_for([&] { return control_enabled(IDC_RATE_COMBO); }));
}

TEST_F(PanelDialogTest, WithoutAHostStartingThePanelConvertsAStoredDsdRate)
{
    attach(u"OVM0001");
    store_number(REGVAL_SAMPLING_RATE, 2822400);
    ASSERT_NE(nullptr, start_panel());
    EXPECT_TRUE(wait_for([&] { return stored_number(REGVAL_SAMPLING_RATE) == 88200; }));
    EXPECT_TRUE(wait_for([&] { return selection(IDC_RATE_COMBO) == 2 && control_enabled(IDC_RATE_COMBO); }));
}

// The logo as the panel must draw it: decoded here from the file the program is built with,
// its colours premultiplied by their alpha.
std::vector<DWORD> premultiplied_logo(UINT *width, UINT *height)
{
    std::ifstream file(OVM_PANEL_LOGO, std::ios::binary);
    const std::vector<BYTE> png((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    IStream *stream = SHCreateMemStream(png.data(), (UINT)png.size());
    std::vector<DWORD> pixels;
    {
        Gdiplus::Bitmap logo(stream);
        Gdiplus::BitmapData data = {};
        if (logo.LockBits(nullptr, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) == Gdiplus::Ok) {
            *width = data.Width;
            *height = data.Height;
            for (UINT y = 0; y < data.Height; ++y) {
                const DWORD *row = reinterpret_cast<const DWORD *>(static_cast<const BYTE *>(data.Scan0) + y * data.Stride);
                for (UINT x = 0; x < data.Width; ++x) {
                    const DWORD a = row[x] >> 24;
                    const auto scale = [a](DWORD c) { return a == 255 ? c : (c * a + 127) / 255; };
                    pixels.push_back((a << 24) | (scale((row[x] >> 16) & 0xFF) << 16) |
                                     (scale((row[x] >> 8) & 0xFF) << 8) | scale(row[x] & 0xFF));
                }
            }
            logo.UnlockBits(&data);
        }
    }
    stream->Release();
    Gdiplus::GdiplusShutdown(token);
    return pixels;
}

TEST_F(PanelDialogTest, TheIconAndTheScaledLogoComeFromTheProgramsResources)
{
    attach(u"OVM0001");
    ASSERT_NE(nullptr, start_panel());
    const HICON icon = LoadIconW(GetModuleHandleW(L"ovmlsaaudcp.exe"), MAKEINTRESOURCEW(IDI_PANEL_ICON));
    ASSERT_NE(nullptr, icon);
    EXPECT_EQ((LRESULT)icon, SendMessageW(m_panel, WM_GETICON, ICON_BIG, 0));
    EXPECT_EQ((LRESULT)icon, SendMessageW(m_panel, WM_GETICON, ICON_SMALL, 0));

    UINT width = 0;
    UINT height = 0;
    const std::vector<DWORD> logo = premultiplied_logo(&width, &height);
    ASSERT_FALSE(logo.empty());
    RECT frame;
    ASSERT_TRUE(GetWindowRect(GetDlgItem(m_panel, IDC_LOGO_FRAME), &frame)); // in the dialog's client area
    const std::vector<ui::drawing> drawn = ui::paint_window(m_panel);
    ASSERT_EQ(1u, drawn.size());
    const ui::drawing &image = drawn[0];
    EXPECT_EQ(ui::drawing::kind::image, image.what);
    // 180 x 64 into the 171 x 68 frame: the width fills it, the height keeps the proportion.
    const LONG scaled = (LONG)height * (frame.right - frame.left) / (LONG)width;
    EXPECT_EQ(frame.left, image.rect.left);
    EXPECT_EQ(frame.right, image.rect.right);
    EXPECT_EQ(frame.top + (frame.bottom - frame.top - scaled) / 2, image.rect.top);
    EXPECT_EQ(scaled, image.rect.bottom - image.rect.top);
    EXPECT_EQ(0, image.source.left);
    EXPECT_EQ((LONG)width, image.source.right);
    EXPECT_EQ((LONG)height, image.source.bottom);
    EXPECT_EQ(255, image.constant_alpha);
    EXPECT_EQ(AC_SRC_ALPHA, image.alpha_format);
    EXPECT_TRUE(image.pixels == logo) << "the logo's pixels, premultiplied";

    // Minimised, the panel draws its icon centred in the client area, and no logo.
    ShowWindow(m_panel, SW_MINIMIZE);
    RECT client;
    GetClientRect(m_panel, &client);
    const std::vector<ui::drawing> iconic = ui::paint_window(m_panel);
    ASSERT_EQ(1u, iconic.size());
    EXPECT_EQ(ui::drawing::kind::icon, iconic[0].what);
    EXPECT_EQ(icon, iconic[0].icon);
    EXPECT_EQ((client.right - 32 + 1) / 2, iconic[0].rect.left);
    EXPECT_EQ((client.bottom - 32 + 1) / 2, iconic[0].rect.top);
    ShowWindow(m_panel, SW_RESTORE);
}

TEST_F(PanelDialogTest, ASecondStartBringsTheFirstToTheFront)
{
    attach(u"OVM0001");
    ASSERT_NE(nullptr, start_panel());
    ShowWindow(m_panel, SW_MINIMIZE);
    start_second_panel();
    EXPECT_EQ(m_panel, GetForegroundWindow());
    EXPECT_FALSE(IsIconic(m_panel));
    EXPECT_EQ(m_panel, ui::find_window_by_title(PANEL_WINDOW_TITLE, 0)) << "the first panel runs on";
}

TEST_F(PanelDialogTest, DeviceArrivalAndRemovalRefreshTheList)
{
    attached_device first = attach(u"OVM0001");
    ASSERT_NE(nullptr, start_panel());
    ASSERT_EQ(1u, items(IDC_DEVICE_LIST).size());

    attached_device second = attach(u"OVM0002");
    EXPECT_TRUE(wait_for([&] { return items(IDC_DEVICE_LIST).size() == 2; }));
    EXPECT_EQ(0, bold_row());

    detach(first);
    EXPECT_TRUE(wait_for([&] { return items(IDC_DEVICE_LIST).size() == 1; }));
    // The current device left: the one that is left becomes current.
    EXPECT_TRUE(wait_for([&] { return stored_selected() == second.instance_id; }));
    EXPECT_EQ(0, bold_row());
    EXPECT_EQ(0, selection(IDC_DEVICE_LIST));
}

TEST_F(PanelDialogTest, TheLastDeviceLeavingWhileCurrentLeavesNoStaleIndex)
{
    const attached_device first = attach(u"OVM0001");
    attached_device second = attach(u"OVM0002");
    store_selected(second.instance_id);
    ASSERT_NE(nullptr, start_panel());
    ASSERT_EQ(1, bold_row());

    detach(second);
    ASSERT_TRUE(wait_for([&] { return items(IDC_DEVICE_LIST).size() == 1; }));
    EXPECT_TRUE(wait_for([&] { return stored_selected() == first.instance_id; }));
    EXPECT_EQ(0, bold_row());
    EXPECT_EQ(0, selection(IDC_DEVICE_LIST));

    // A later settings change finds a valid selection and leaves the choice alone.
    store_number(REGVAL_BUFFER_SIZE_INDEX, 9);
    EXPECT_TRUE(wait_for([&] { return control_text(IDC_BUFFER_TEXT) == L"640 Samples"; }))
        << stored_number(REGVAL_SAMPLING_RATE) << " " << testing::PrintToString(control_text(IDC_BUFFER_TEXT));
    EXPECT_EQ(first.instance_id, stored_selected());
}

TEST_F(PanelDialogTest, TheCurrentDeviceLeavingWhileAHostHoldsTheDriverKeepsTheStoredChoice)
{
    attach(u"OVM0001");
    attached_device second = attach(u"OVM0002");
    store_selected(second.instance_id);
    SimulatedHost host;
    ASSERT_TRUE(host.take());
    ASSERT_NE(nullptr, start_panel());
    ASSERT_EQ(1, bold_row());

    detach(second);
    ASSERT_TRUE(wait_for([&] { return items(IDC_DEVICE_LIST).size() == 1; }));
    EXPECT_EQ(-1, bold_row()) << "no device that is present is the host's";
    store_number(REGVAL_BUFFER_SIZE_INDEX, 9);
    store_number(REGVAL_BUFFER_SIZE_INDEX, 10);
    EXPECT_TRUE(wait_for([&] { return stored_number(REGVAL_BUFFER_SIZE_INDEX) == 10; }));
    EXPECT_EQ(second.instance_id, stored_selected()) << "the host's device stays the stored one";
}

TEST_F(PanelDialogTest, ClosingThePanelEndsItsProcess)
{
    attach(u"OVM0001");
    ASSERT_NE(nullptr, start_panel());
    EXPECT_TRUE(close_panel());
    // The instance mutex went with the process: a new start opens a panel again.
    ASSERT_NE(nullptr, start_panel());
}

} // namespace
