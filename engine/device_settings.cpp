#include "engine/device_settings.h"

namespace torvalen {

namespace {
constexpr const char* instance_device_key = "ASIO2_Audio_Settings";
constexpr const char* shared_device_key = "ASIO_Settings";
constexpr const char* channel_map_key = "ASIOSingle";
}  // namespace

void DeviceSettings::load_instance_device(SettingsKey instance_key) {
    *this = DeviceSettings{};
    auto key = instance_key.open(instance_device_key);
    if (!key) return;
    key->read_text("Device", device);
    key->read_dword("Sample_Rate", sample_rate);
    key->read_dword("Frame_Size", frame_size);
    key->read_dword("Input_L_Channel", input_l);
    key->read_dword("Input_R_Channel", input_r);
    key->read_dword("Output_L_Channel", output_l);
    key->read_dword("Output_R_Channel", output_r);
}

bool DeviceSettings::save_instance_device(SettingsKey instance_key) const {
    auto key = instance_key.create(instance_device_key);
    if (!key) return false;
    return key->write_text("Device", device) && key->write_dword("Sample_Rate", sample_rate) &&
           key->write_dword("Frame_Size", frame_size) &&
           key->write_dword("Input_L_Channel", input_l) &&
           key->write_dword("Input_R_Channel", input_r) &&
           key->write_dword("Output_L_Channel", output_l) &&
           key->write_dword("Output_R_Channel", output_r);
}

void DeviceSettings::load_shared_device(SettingsKey persist_key) {
    *this = DeviceSettings{};
    auto key = persist_key.open(shared_device_key);
    if (!key) return;
    key->read_text("Device", device);
    key->read_dword("Sample_Rate", sample_rate);
    key->read_dword("Frame_Size", frame_size);
}

bool DeviceSettings::save_shared_device(SettingsKey persist_key) const {
    auto key = persist_key.create(shared_device_key);
    if (!key) return false;
    return key->write_text("Device", device) && key->write_dword("Sample_Rate", sample_rate) &&
           key->write_dword("Frame_Size", frame_size);
}

void ChannelMap::load(SettingsKey instance_key) {
    *this = ChannelMap{};
    auto key = instance_key.open(channel_map_key);
    if (!key) return;
    key->read_dword("L_In", l_in);
    key->read_dword("R_In", r_in);
    key->read_dword("L_Out", l_out);
    key->read_dword("R_Out", r_out);
}

bool ChannelMap::save(SettingsKey instance_key) const {
    auto key = instance_key.create(channel_map_key);
    if (!key) return false;
    return key->write_dword("L_In", l_in) && key->write_dword("R_In", r_in) &&
           key->write_dword("L_Out", l_out) && key->write_dword("R_Out", r_out);
}

}  // namespace torvalen
