/*
 * korval.h - the map converter: its entry record, program-wide variables
 * and operations, for main and for the programs that run the conversion
 * without it (the fuzz targets, the in-memory benchmark).
 */
#ifndef KORVAL_KORVAL_H
#define KORVAL_KORVAL_H

#include "platform.h"

/* One converted symbol. All entries live in one entry block; the list runs
 * from EntFirst to EntLast in ascending unsigned SymbAddr. */
typedef struct aENTREC {
    struct aENTREC* NextRec;
    struct aENTREC* PrevRec;
    DWORD SymbAddr;
    char Routine[32]; /* name, then zero bytes to the end; a full field has none */
    char Module[16];
} aENTREC, *PENTREC;

#define LINE_MAX_CHARS 254 /* a map line longer than this keeps its first 254 */

/* Options and file names (GetOptions). */
extern int Binary;    /* 1: code map (.COD); 0: text listing (.ENT), option A */
extern int Debug;     /* option D: echo every map line read */
extern int Help;      /* options H and ?, unknown options, no input name */
extern int Inclusive; /* option I: also convert library lines */
extern char IfName[_MAX_PATH];
extern char OfName[_MAX_PATH];

/* Files (OpenFiles). */
extern HANDLE hIfile;
extern HANDLE hIfileMap;
extern HANDLE hOfile;
extern DWORD dwISize;         /* bytes of input */
extern const char* pIfileMap; /* the reading cursor in the mapped input */
extern DWORD dwLeft;          /* bytes of input from the cursor on */

/* The current line (GetaLine), NUL-terminated, with room past it for the
 * blocks the byte kernels read and write; and the code-section state
 * (QualifyLine). */
extern char ILine[LINE_MAX_CHARS + 34];
extern DWORD ILen;
extern int InCode;

/* The entry block and the list (Doit, SaveEntry). */
extern PENTREC EntBase;
extern PENTREC EntNext;
extern PENTREC EntFirst;
extern PENTREC EntLast;
extern PENTREC EntCurr;
extern DWORD NumRecs;

/* A step that reported a failure which ends the run with status 1. */
extern int Failed;

/* 0 when the writer could not write every byte of the output, or the
 * output could not be closed. */
extern int Written;

/* The count line of the listing (WriteOutputA). */
extern char OutBuff[256];

/* Puts every program-wide variable of the converter back to the value a run
 * starts with, for the programs that convert more than once in a process
 * (the fuzz targets, the in-memory benchmark). Gives nothing back: the
 * caller has closed the files and freed the entry block. */
void ResetRun(void);

void PrintTime(void); /* the local date and time, without a line end */
void Banner(void);    /* the first line of every run */
void Useage(void);    /* the help screen */
/* Sets the options and both file names; 0 after reporting a name too long. */
int GetOptions(int argc, char** argv);
/* Opens and maps the input, then creates the output; 0 after reporting
 * which failed, with nothing left open. */
int OpenFiles(void);
int GetaLine(void);    /* the next line into ILine; 0 at the end of the input */
int QualifyLine(void); /* whether ILine is a symbol line to convert */
void SaveEntry(void);  /* parses ILine into the next record of the entry block */
/* Reads the map twice and builds the sorted list; 0 when there is nothing
 * to convert, or after reporting that no entry block could be had (Failed). */
int Doit(void);
/* Write the list as a code map or a listing to hOfile; 0, reporting
 * nothing, when the file did not take every byte. */
int WriteOutputB(void);
int WriteOutputA(void);

#endif
