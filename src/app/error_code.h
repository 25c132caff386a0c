#pragma once

namespace app::error_code {

// The complete vocabulary of "error" values a result line can carry.
inline constexpr char kAdapterUnavailable[] = "adapter-unavailable";
inline constexpr char kPermissionDenied[] = "permission-denied";
inline constexpr char kIdentityCancelled[] = "identity-cancelled";
inline constexpr char kIdentityDeviceNotFound[] = "identity-device-not-found";
inline constexpr char kIdentityConnectFailed[] = "identity-connect-failed";
inline constexpr char kIdentityDisconnected[] = "identity-disconnected";
inline constexpr char kIdentityTimeout[] = "identity-timeout";
inline constexpr char kIdentityServiceUnavailable[] = "identity-service-unavailable";
inline constexpr char kIdentitySerialUnavailable[] = "identity-serial-unavailable";
inline constexpr char kIdentityReadFailed[] = "identity-read-failed";
inline constexpr char kIdentityInvalidSerial[] = "identity-invalid-serial";

}  // namespace app::error_code
