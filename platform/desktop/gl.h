// Internal to the desktop stand-in: the OpenGL 3 core declarations, called straight through
// libGL (which exports every core entry point). Main thread, with a window's context current.
#pragma once

#ifndef GL_GLEXT_PROTOTYPES
#define GL_GLEXT_PROTOTYPES
#endif
#include <GL/gl.h>
#include <GL/glext.h>
