/* A C host of liblcmp: reads three parameters and writes two, then prints
 * the confirmation lists the engine produced. */
#include <stdio.h>

#include "lcmp.h"

static void print_list(const char *title, const LCMPValueList *list) {
    printf("%s: %u record(s)\n", title, list ? list->count : 0u);
    for (const LCMPValue *v = list ? list->first : NULL; v; v = v->next) {
        printf("  from %02X:%02X:%02X:%02X:%02X:%02X type %d length %u value", v->sourceMac[0], v->sourceMac[1],
               v->sourceMac[2], v->sourceMac[3], v->sourceMac[4], v->sourceMac[5], (int)v->type, v->length);
        for (unsigned i = 0; i < v->length; ++i) printf(" %02X", v->value[i]);
        printf("\n");
    }
}

int main(void) {
    const uint8_t device[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    LCMPValueList *request = NULL, *result = NULL;
    int32_t rc;

    for (uint8_t id = 5; id <= 7; ++id) LCMPValueAdd(&request, 1, &id);
    rc = LCMPRead(request, LCMP_DESTINATION_DEVICE, device, &result);
    printf("LCMPRead of parameters 5, 6, 7 -> %d\n", (int)rc);
    print_list("read confirmation", result);
    LCMPValueListDestroy(request);
    LCMPValueListDestroy(result);

    request = NULL;
    result = NULL;
    const uint8_t p7[] = {0x07, 0xAA}, p9[] = {0x09, 0xBB, 0xCC};
    LCMPValueAdd(&request, sizeof p7, p7);
    LCMPValueAdd(&request, sizeof p9, p9);
    rc = LCMPWrite(request, LCMP_DESTINATION_MULTICAST, NULL, &result);
    printf("LCMPWrite of parameters 7, 9 to the LCMP multicast address -> %d\n", (int)rc);
    print_list("write confirmation", result);
    LCMPValueListDestroy(request);
    LCMPValueListDestroy(result);
    return 0;
}
