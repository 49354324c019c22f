// IDs of the program's string resources. Shared by the C++ sources and the
// Windows resource script, so it holds nothing but #defines.
#ifndef QUILLFIX_APP_RESOURCE_H_
#define QUILLFIX_APP_RESOURCE_H_

#define IDS_TITLE 1
#define IDS_ROOT_VARLO_ALT 63058
#define IDS_ROOT_VARLO 63059
#define IDS_ROOT_VARLOPLUS_ALT 63060
#define IDS_ROOT_VARLOPLUS 63061

#endif  // QUILLFIX_APP_RESOURCE_H_
