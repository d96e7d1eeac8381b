/* A strict C11 consumer of the public header: it must compile without
 * extensions and link against liblcmp.so. */
#include <stdio.h>

#include "lcmp.h"

int main(void) {
    LCMPValueList *request = NULL, *result = NULL;
    const uint8_t id = 9;
    int32_t rc = LCMPValueAdd(&request, 1, &id);
    if (rc == LCMP_OK) rc = LCMPRead(request, LCMP_DESTINATION_BROADCAST, NULL, &result);
    const int ok = rc == LCMP_OK && result != NULL && result->count == 1 && result->first->length == 3 &&
                   result->first->value[0] == 9 && result->first->sourceMac[0] == 0xFF;
    LCMPValueListDestroy(request);
    LCMPValueListDestroy(result);
    if (!ok) {
        fprintf(stderr, "unexpected read confirmation (rc %d)\n", (int)rc);
        return 1;
    }
    return 0;
}
