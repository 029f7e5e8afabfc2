/*
 * guarded.c - the fault reporter in a small C program.
 *
 * Four threads each count the words of a text inside the guard; the text is
 * missing, so each faults inside the C library's strlen. Each fault is
 * reported on standard error, named from the program's own code map
 * (GUARDED.COD beside it), and the thread goes on. With --unguarded the
 * same work runs outside any guard and the program dies of the fault.
 */
#include <korval/mapdebug.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>

static const char* volatile Text = NULL; /* the text that never came */

static int CountWords(const char* Words) {
    int Count = 0;
    size_t Length = strlen(Words); /* faults: Words is NULL */
    for (size_t i = 0; i < Length; i++)
        Count += Words[i] == ' ';
    return Count + (Length > 0);
}

static void Work(void* Result) {
    *(int*)Result = CountWords(Text);
}

static void* Worker(void* Result) {
    if (!RunGuarded(Work, Result)) *(int*)Result = -1;
    return NULL;
}

int main(int argc, char** argv) {
    pthread_t Threads[4];
    int Results[4];
    if (argc > 1 && strcmp(argv[1], "--unguarded") == 0) {
        Work(Results);
        printf("%d words\n", Results[0]);
        return 0;
    }
    OpenDebugFile(NULL);
    for (int i = 0; i < 4; i++)
        pthread_create(&Threads[i], NULL, Worker, &Results[i]);
    for (int i = 0; i < 4; i++) {
        pthread_join(Threads[i], NULL);
        printf("worker %d: %s\n", i, Results[i] < 0 ? "faulted" : "done");
    }
    CloseDebug();
    return 0;
}
