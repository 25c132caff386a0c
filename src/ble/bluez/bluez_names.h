#pragma once

namespace bluez::names {

inline constexpr char kService[] = "org.bluez";
inline constexpr char kAdapterInterface[] = "org.bluez.Adapter1";
inline constexpr char kDeviceInterface[] = "org.bluez.Device1";
inline constexpr char kGattServiceInterface[] = "org.bluez.GattService1";
inline constexpr char kGattCharacteristicInterface[] = "org.bluez.GattCharacteristic1";
inline constexpr char kObjectManagerInterface[] = "org.freedesktop.DBus.ObjectManager";
inline constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
inline constexpr char kBusDriver[] = "org.freedesktop.DBus";

}  // namespace bluez::names
