// Model identification, firmware download and pipe discovery.
#pragma once

#include "qsxpdd.h"

typedef struct QsxModel {
    WORD ProductId;
    WORD PortCount;
    DWORD ImageLength;  // bytes of the model's firmware image
    BOOL Rs232Only;     // ports are RS-232 whatever the registry says
    const BYTE *Image;
} QsxModel;

#define QSX_MODEL_COUNT 9
extern const QsxModel ModelTable[QSX_MODEL_COUNT];

#define FIRMWARE_BLOCK_SIZE 64

// The table row of a product id, or NULL when the product is not supported.
const QsxModel *FindModel(WORD wProductId);
BOOL IsRs232OnlyModel(WORD wProductId);

// Identifies the model, downloads its firmware and opens the three bulk pipes. Returns 1
// when all three pipes are open, 0 otherwise (what was opened stays for the teardown).
DWORD SetUsbInterface(PUSBFPS pUsbFps);
