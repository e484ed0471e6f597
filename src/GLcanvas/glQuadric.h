#pragma once

#include <GL/glu.h>

// One GLU quadric for the duration of a draw call; deleted on every return path. Null (false)
// when GLU could not make one. Thread of the current OpenGL context.
class CQuadric {
public:
    using Maker = GLUquadric* (*)();

    CQuadric() : m_quadric(s_maker()) {}
    ~CQuadric()
    {
        if (m_quadric != nullptr) gluDeleteQuadric(m_quadric);
    }
    CQuadric(const CQuadric&) = delete;
    CQuadric& operator=(const CQuadric&) = delete;

    explicit operator bool() const { return m_quadric != nullptr; }
    GLUquadric* Get() const { return m_quadric; }

    // Replaces gluNewQuadric (nullptr puts it back); lets tests make the creation fail.
    static void SetMaker(Maker maker);

private:
    static Maker s_maker;
    GLUquadric* m_quadric;
};
