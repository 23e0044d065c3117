// The cloth object: a deformer that replaces the points of the polygon
// object above it with a mass-spring simulation advanced to the document's
// frame. Its children (colliders, forces, constraints) act on the cloth.
#pragma once

#include "drScloth.h"
#include "drSdamp.h"
#include "drSsolver.h"
#include "drSspring.h"
#include "host.h"

/// Parameter ids of the cloth object.
constexpr Int32 DRAPEON_MASS = 1000;          ///< float, 10: total mass per unit of the largest extent
constexpr Int32 DRAPEON_STIFFNESS = 1001;     ///< float, 30: stretch stiffness, base of shear and bend
constexpr Int32 DRAPEON_DAMPING = 1002;       ///< float, 1: stretch damping, base of shear and bend
constexpr Int32 DRAPEON_SHEAR = 1003;         ///< float, 0.8: shear factor of stiffness and damping
constexpr Int32 DRAPEON_BEND = 1004;          ///< float, 0.2: bend factor of stiffness and damping
constexpr Int32 DRAPEON_SETTLE_FRAME = 1005;  ///< integer, 0: extra damping before this frame (0: off)
constexpr Int32 DRAPEON_CACHE_PATH = 1006;    ///< file name: base name of the cache files (empty: off)
constexpr Int32 DRAPEON_CACHE_DELETE = 1007;  ///< button: deletes the cache files of frames 0 to 999

/// Message that asks the object to rewind its document to frame 0.
constexpr Int32 DRAPEON_MSG_REWIND = 13;

class drapeon : public ObjectData {
public:
    Bool Init(GeListNode* node) override;
    Bool Message(GeListNode* node, Int32 type, void* data) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool ModifyObject(BaseObject* mod, BaseDocument* doc, BaseObject* op, const Matrix& op_mg, const Matrix& mod_mg,
                      Float lod, Int32 flags, BaseThread* thread) override;
    void CheckDirty(BaseObject* op, BaseDocument* doc) override;

    /// Deletes the cache files of frames 0 to 999 of the base name in
    /// DRAPEON_CACHE_PATH; missing files are passed over.
    static void deleteCacheFiles(const BaseContainer& data);

    String identityKey;       ///< identifies the input object of the last rebuild
    drScloth cloth;           ///< simulated points (world space), triangles, masses
    drSsolver solver;         ///< force list and clock
    drSspring stretchSprings; ///< one spring per mesh edge
    drSspring shearSprings;   ///< both diagonals of every quadrilateral
    drSspring bendSprings;    ///< across every shared edge
    float storedMass = 0.0f;  ///< the DRAPEON_MASS value the current masses come from
    drSdamp settleDamping;    ///< extra velocity damping of the settling period

private:
    /// The evaluation itself, inside the pool's lock (op has points).
    void evaluate(BaseObject* mod, BaseDocument* doc, PointObject* op);
    /// Forgets the built cloth so that the next evaluation rebuilds it.
    void discardBuild();
};
