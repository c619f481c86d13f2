#include <talvo.h>

int main(void) {
    void *data = tuk_malloc(100);
    if (data == NULL || std_ops.read == NULL) return 1;
    tuk_free(data);
    return 0;
}
