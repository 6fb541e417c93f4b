/* Packs a buffer into an archive, then lists the archive and restores
 * each entry into memory. Build: cc example.c $(pkg-config --cflags --libs taq) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <taq.h>

static int to_stdout(void* context, const void* data, size_t size) {
    size_t* total = context;
    *total += size;
    return fwrite(data, 1, size, stdout) == size ? 0 : 1;
}

int main(int argc, char** argv) {
    const char* archive = argc > 1 ? argv[1] : "example.taq";
    const char* text = "Hello from the TAQ library.\n";

    taq_write_options options;
    taq_write_options_init(&options);
    options.level = 0; /* 4 MiB of model memory */
    taq_writer* w;
    int rc = taq_write_open(&w, archive, &options);
    if (rc != TAQ_OK) {
        fprintf(stderr, "cannot open %s: %s\n", archive, taq_error_name(rc));
        return 1;
    }
    if (taq_write_buffer(w, "notes/hello.txt", text, strlen(text)) != TAQ_OK)
        fprintf(stderr, "%s\n", taq_writer_error(w));
    if ((rc = taq_write_close(w)) != TAQ_OK) {
        fprintf(stderr, "writing failed: %s\n", taq_error_name(rc));
        return 1;
    }

    taq_reader* r;
    if (taq_read_open(&r, archive) != TAQ_OK) return 1;
    taq_entry e;
    while ((rc = taq_read_next(r, &e)) != 0) {
        if (rc < 0) { /* damage: reported, and the walk goes on */
            fprintf(stderr, "%s\n", taq_reader_error(r));
            continue;
        }
        size_t total = 0;
        printf("%s (%llu bytes):\n", e.name, (unsigned long long)e.data_size);
        if (taq_read_data(r, to_stdout, &total) != TAQ_OK)
            fprintf(stderr, "%s: %s\n", e.name, taq_reader_error(r));
    }
    taq_read_close(r);
    return 0;
}
