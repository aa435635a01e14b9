// The model table, the firmware download and the discovery of the three bulk pipes.
#include "model.h"

#include <string.h>

#include <firmware.h>

#include "atomics.h"
#include "qsxport.h"
#include "vendor.h"

const QsxModel ModelTable[QSX_MODEL_COUNT] = {
    {0x7020, 2, sizeof(Firmware7020), FALSE, Firmware7020},
    {0x7021, 2, sizeof(Firmware7021), FALSE, Firmware7021},
    {0x7040, 4, sizeof(Firmware7040), TRUE, Firmware7040},
    {0x7045, 4, sizeof(Firmware7045), FALSE, Firmware7045},
    {0x7046, 4, sizeof(Firmware7046), FALSE, Firmware7046},
    {0x7168, 8, sizeof(Firmware7168), TRUE, Firmware7168},
    {0x7198, 8, sizeof(Firmware7198), FALSE, Firmware7198},
    {0x7163, 16, sizeof(Firmware7163), TRUE, Firmware7163},
    {0x7193, 16, sizeof(Firmware7193), FALSE, Firmware7193},
};

const QsxModel *FindModel(WORD wProductId)
{
    for (int i = 0; i < QSX_MODEL_COUNT; i++)
        if (ModelTable[i].ProductId == wProductId)
            return &ModelTable[i];
    return NULL;
}

BOOL IsRs232OnlyModel(WORD wProductId)
{
    const QsxModel *pModel = FindModel(wProductId);
    return pModel != NULL && pModel->Rs232Only;
}

// Sends the image in 64-byte blocks, one request at a time with a 1 ms pause after each,
// then ends the download with its two fixed pauses. Request outcomes are not looked at:
// a failed download shows when the adapter does not offer its endpoints afterwards.
static BOOL DownloadFirmware(PUSBFPS pUsbFps, const QsxModel *pModel)
{
    BYTE *pBlock;
    DWORD dwOffset;
    DWORD dwLength;

    SendVendorCommand(pUsbFps, VREQ_DOWNLOAD_BEGIN, 0, 0, 0, NULL);

    pBlock = (BYTE *)LocalAlloc(LPTR, FIRMWARE_BLOCK_SIZE);
    if (pBlock == NULL)
        return FALSE;
    for (dwOffset = 0; dwOffset < pModel->ImageLength; dwOffset += dwLength) {
        dwLength = pModel->ImageLength - dwOffset;
        if (dwLength > FIRMWARE_BLOCK_SIZE)
            dwLength = FIRMWARE_BLOCK_SIZE;
        memcpy(pBlock, pModel->Image + dwOffset, dwLength);
        SendVendorCommand(pUsbFps, VREQ_FIRMWARE_BLOCK, 0, 0, dwLength, pBlock);
        Sleep(1);
    }
    LocalFree(pBlock);

    Sleep(1000);
    SendVendorCommand(pUsbFps, VREQ_DOWNLOAD_END, 0, 0, 0, NULL);
    Sleep(1000);
    SendVendorCommand(pUsbFps, VREQ_DOWNLOAD_START, 0, 0, 0, NULL);
    return TRUE;
}

// Opens a pipe on an endpoint; NULL when the host stack refuses it.
static USB_PIPE OpenEndpoint(PUSBFPS pUsbFps, const USB_ENDPOINT_DESCRIPTOR *pEndpoint)
{
    return pUsbFps->UsbFuncs->lpOpenPipe(pUsbFps->hDevice, pEndpoint);
}

// Walks the examined endpoints in order: the first bulk OUT becomes BulkOutPipe, the first
// bulk IN DataInPipe and the second StatusInPipe; MaxPacket follows the last OUT endpoint.
// Only the first (count - 3) endpoints are examined. Returns FALSE only when BulkOutEvent
// cannot be created.
static BOOL OpenPipes(PUSBFPS pUsbFps, LPCUSB_INTERFACE pInterface)
{
    int nExamined = (int)pInterface->Descriptor.bNumEndpoints - 3;

    for (int i = 0; i < nExamined; i++) {
        const USB_ENDPOINT_DESCRIPTOR *pEndpoint = &pInterface->lpEndpoints[i].Descriptor;
        BOOL bBulk = (pEndpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK;
        USB_PIPE *ppTarget = NULL;
        USB_PIPE hPipe;

        if ((pEndpoint->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) == 0) {
            pUsbFps->MaxPacket = (pEndpoint->wMaxPacketSize == 64) ? 64 : 512;
            if (pUsbFps->BulkOutPipe == NULL && bBulk)
                ppTarget = &pUsbFps->BulkOutPipe;
        } else if (bBulk) {
            if (pUsbFps->DataInPipe == NULL)
                ppTarget = &pUsbFps->DataInPipe;
            else if (pUsbFps->StatusInPipe == NULL)
                ppTarget = &pUsbFps->StatusInPipe;
        }
        if (ppTarget == NULL)
            continue;

        hPipe = OpenEndpoint(pUsbFps, pEndpoint);
        if (hPipe == NULL)
            break;
        *ppTarget = hPipe;
        if (ppTarget == &pUsbFps->BulkOutPipe) {
            pUsbFps->BulkOutEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
            if (pUsbFps->BulkOutEvent == NULL)
                return FALSE;
        }
    }
    return TRUE;
}

DWORD SetUsbInterface(PUSBFPS pUsbFps)
{
    LPCUSB_DEVICE pDeviceInfo;
    LPCUSB_INTERFACE pInterface;
    const QsxModel *pModel;

    if (pUsbFps == NULL || pUsbFps->Sig != USBFPS_SIG)
        return 0;

    pDeviceInfo = pUsbFps->UsbFuncs->lpGetDeviceInfo(pUsbFps->hDevice);
    if (pDeviceInfo == NULL)
        return 0;

    pUsbFps->ProductId = pDeviceInfo->Descriptor.idProduct;
    pModel = FindModel(pUsbFps->ProductId);
    if (pModel == NULL) {
        pUsbFps->PortCount = 0;
        return 0;
    }
    pUsbFps->PortCount = pModel->PortCount;

    if (!DownloadFirmware(pUsbFps, pModel))
        return 0;

    // The adapter presents its working interface only once its firmware runs, so the
    // descriptors are asked for again rather than taken from before the download.
    pDeviceInfo = pUsbFps->UsbFuncs->lpGetDeviceInfo(pUsbFps->hDevice);
    pInterface = pDeviceInfo ? pUsbFps->UsbFuncs->lpFindInterface(pDeviceInfo, 0, 0) : NULL;
    if (pInterface == NULL)
        return 0;

    if (!OpenPipes(pUsbFps, pInterface))
        return 0;

    return (pUsbFps->BulkOutPipe != NULL && pUsbFps->DataInPipe != NULL &&
            pUsbFps->StatusInPipe != NULL) ? 1 : 0;
}
