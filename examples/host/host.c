/* A host of libkvdmc in a dozen lines: find the media servers, list them and
 * browse the root folder of the first one. Usage: host [interface-ip] */
#include <stdio.h>

#include <kvdmc.h>

static int fail(int code) {
    fprintf(stderr, "host: %s\n", kvdmc_last_error());
    return code;
}

int main(int argc, char **argv) {
    if (argc > 1 && kvdmc_config("ssdp_if", argv[1]) != 0) return fail(2);
    if (kvdmc_discover(1, 2000) < 0) return fail(1); /* media servers, 2 s */
    int n = kvdmc_device_count();
    printf("%d media server(s)\n", n);
    for (int i = 0; i < n; i++) puts(kvdmc_device_json(i));
    char udn[128]; /* a device's JSON starts with its udn */
    if (n == 0 || sscanf(kvdmc_device_json(0), "{\"udn\":\"%127[^\"]\"", udn) != 1) return 0;
    int items = kvdmc_browse(udn, "0", 0, 0, 0); /* "0" is the root folder */
    if (items < 0) return fail(1);
    for (int i = 0; i < items; i++) puts(kvdmc_item_json(i));
    return 0;
}
