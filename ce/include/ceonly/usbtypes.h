// Records and constants of the platform's USB client interface.
#pragma once

#include <windows.h>

typedef LPVOID USB_HANDLE;
typedef LPVOID USB_PIPE;
typedef LPVOID USB_TRANSFER;

#pragma pack(push, 1)
typedef struct _USB_DEVICE_REQUEST {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
} USB_DEVICE_REQUEST, *PUSB_DEVICE_REQUEST, *LPUSB_DEVICE_REQUEST;
typedef const USB_DEVICE_REQUEST *PCUSB_DEVICE_REQUEST, *LPCUSB_DEVICE_REQUEST;

typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;
#pragma pack(pop)

typedef const USB_ENDPOINT_DESCRIPTOR *LPCUSB_ENDPOINT_DESCRIPTOR;

// The host stack's view of the descriptors; every member is constant for the client.
typedef struct _USB_ENDPOINT {
    const DWORD dwCount;
    const USB_ENDPOINT_DESCRIPTOR Descriptor;
    const LPCVOID lpvExtended;
} USB_ENDPOINT, *PUSB_ENDPOINT, *LPUSB_ENDPOINT;
typedef const USB_ENDPOINT *PCUSB_ENDPOINT, *LPCUSB_ENDPOINT;

typedef struct _USB_INTERFACE {
    const DWORD dwCount;
    const USB_INTERFACE_DESCRIPTOR Descriptor;
    const LPCVOID lpvExtended;
    const LPCUSB_ENDPOINT lpEndpoints;
} USB_INTERFACE, *PUSB_INTERFACE, *LPUSB_INTERFACE;
typedef const USB_INTERFACE *PCUSB_INTERFACE, *LPCUSB_INTERFACE;

typedef struct _USB_CONFIGURATION {
    const DWORD dwCount;
    const USB_CONFIGURATION_DESCRIPTOR Descriptor;
    const LPCVOID lpvExtended;
    const DWORD dwNumInterfaces;
    const LPCUSB_INTERFACE lpInterfaces;
} USB_CONFIGURATION, *PUSB_CONFIGURATION, *LPUSB_CONFIGURATION;
typedef const USB_CONFIGURATION *PCUSB_CONFIGURATION, *LPCUSB_CONFIGURATION;

typedef struct _USB_DEVICE {
    const DWORD dwCount;
    const USB_DEVICE_DESCRIPTOR Descriptor;
    const LPCUSB_CONFIGURATION lpConfigs;
    const LPCUSB_CONFIGURATION lpActiveConfig;
} USB_DEVICE, *PUSB_DEVICE, *LPUSB_DEVICE;
typedef const USB_DEVICE *PCUSB_DEVICE, *LPCUSB_DEVICE;

// What a client registers for; USB_NO_INFO means "any".
typedef struct _USB_DRIVER_SETTINGS {
    DWORD dwCount;
    DWORD dwVendorId;
    DWORD dwProductId;
    DWORD dwReleaseNumber;
    DWORD dwDeviceClass;
    DWORD dwDeviceSubClass;
    DWORD dwDeviceProtocol;
    DWORD dwInterfaceClass;
    DWORD dwInterfaceSubClass;
    DWORD dwInterfaceProtocol;
} USB_DRIVER_SETTINGS, *PUSB_DRIVER_SETTINGS, *LPUSB_DRIVER_SETTINGS;
typedef const USB_DRIVER_SETTINGS *LPCUSB_DRIVER_SETTINGS;

#define USB_NO_INFO 0xFFFFFFFF

// Descriptor types and endpoint attributes.
#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_INTERFACE_DESCRIPTOR_TYPE 0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE 0x05
#define USB_ENDPOINT_DIRECTION_MASK 0x80
#define USB_ENDPOINT_TYPE_MASK 0x03
#define USB_ENDPOINT_TYPE_CONTROL 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 0x01
#define USB_ENDPOINT_TYPE_BULK 0x02
#define USB_ENDPOINT_TYPE_INTERRUPT 0x03

// Transfer flags.
#define USB_OUT_TRANSFER 0x00000000
#define USB_IN_TRANSFER 0x00000080
#define USB_NO_WAIT 0x00000100
#define USB_SHORT_TRANSFER_OK 0x00000200
#define USB_START_ISOCH_ASAP 0x00000400
#define USB_COMPRESS_ISOCH 0x00000800
#define USB_SEND_TO_DEVICE 0x00000000
#define USB_SEND_TO_INTERFACE 0x00000001
#define USB_SEND_TO_ENDPOINT 0x00000002

// Request-type bits of the setup packet.
#define USB_REQUEST_HOST_TO_DEVICE 0x00
#define USB_REQUEST_DEVICE_TO_HOST 0x80
#define USB_REQUEST_STANDARD 0x00
#define USB_REQUEST_CLASS 0x20
#define USB_REQUEST_VENDOR 0x40
#define USB_REQUEST_FOR_DEVICE 0x00
#define USB_REQUEST_FOR_INTERFACE 0x01
#define USB_REQUEST_FOR_ENDPOINT 0x02

// Transfer error codes reported by GetTransferStatus.
#define USB_NO_ERROR 0x00000000
#define USB_CRC_ERROR 0x00000001
#define USB_BIT_STUFFING_ERROR 0x00000002
#define USB_DATA_TOGGLE_MISMATCH_ERROR 0x00000003
#define USB_STALL_ERROR 0x00000004
#define USB_DEVICE_NOT_RESPONDING_ERROR 0x00000005
#define USB_PID_CHECK_FAILURE_ERROR 0x00000006
#define USB_UNEXPECTED_PID_ERROR 0x00000007
#define USB_DATA_OVERRUN_ERROR 0x00000008
#define USB_DATA_UNDERRUN_ERROR 0x00000009
#define USB_BUFFER_OVERRUN_ERROR 0x0000000C
#define USB_BUFFER_UNDERRUN_ERROR 0x0000000D
#define USB_NOT_ACCESSED_ERROR 0x0000000E
#define USB_NOT_ACCESSED_ALT 0x0000000F
#define USB_ISOCH_ERROR 0x00000100
#define USB_CANCELED_ERROR 0x00000101
#define USB_NOT_COMPLETE_ERROR 0x00000103
#define USB_CLIENT_BUFFER_ERROR 0x00000104

// Device notification codes.
#define USB_CLOSE_DEVICE 1
