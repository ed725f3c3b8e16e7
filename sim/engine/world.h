// The live world of the simulated game: the sky, the player and where it
// stands (exterior cells of a worldspace, an interior, no cell), the loaded
// area around the player, the references the plug-in moves, and what the
// world-changing script natives did (moves, casts, flashes).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "engine/engine.h"
#include "nimbrel_sim/types.h"
#include "run/run.h"

namespace nimbrel_sim {

// Fields of world objects (byte offsets) the plug-in reads.
namespace field {
inline constexpr size_t kRefParentCell = 0x60;
inline constexpr size_t kRefLoaded3D = 0x68;
inline constexpr size_t kLoaded3DRootNode = 0x68;
inline constexpr size_t kNodePositionX = 0xd4;
inline constexpr size_t kNodePositionY = 0xd8;
inline constexpr size_t kNodePositionZ = 0xdc;
inline constexpr size_t kSkyCurrentWeather = 0x48;
inline constexpr size_t kSkyOutgoingWeather = 0x50;
inline constexpr size_t kSkyGameHour = 0x1b0;
inline constexpr size_t kSkyTransition = 0x1b8;
}  // namespace field

// Worldspaces the double knows by id.
inline constexpr uint32_t kTamrielWorldspace = 0x3C;
// A worldspace the plug-in's table counts as an interior.
inline constexpr uint32_t kInteriorLikeWorldspace = 0x69857;

class World {
 public:
  static constexpr float kGridUnits = 4096.0f;
  static constexpr float kDefaultAttachedRange = 2.5f * kGridUnits;
  static constexpr float kDefaultCellRange = 10.0f * kGridUnits;

  World(Run& run, Engine& engine, const Options& options);
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // The engine's world-changing natives reach the world activated last.
  void activate();

  // The simulated clock: wall time since startClock() times the time scale.
  void startClock();
  double simulatedMs() const;
  double timeScale() const { return options_.timeScale > 0 ? options_.timeScale : 1.0; }

  // --- what the game does to the world --------------------------------------
  // Sky present, player with 3D in the attached cell of Tamriel at (0, 0, 0),
  // hour 12, `clearWeather` current (may be null), none outgoing, transition 1.
  void load(void* clearWeather);
  void unload();
  void setPlayerPosition(Position position);
  void setPlayerHas3D(bool has3D);
  void setPlayerHolderPresent(bool present);
  void setPlayerCellNull();
  void enterInterior();
  // `worldspace` null: Tamriel.
  void enterExterior(void* worldspace);
  // A worldspace object of the double's own (Tamriel and the interior-like
  // one exist from the start); null when there is none and `create` is false.
  void* ownWorldspace(uint32_t formId, bool create = true);
  void setSkyPresent(bool present);
  void setWeather(void* current, void* outgoing, float transition);
  void setTransition(float transition);
  uint32_t currentWeatherId() const;  // 0 when none
  void setGameHour(float hour);
  void setLoadedArea(float attachedRange, float cellRange);
  // Moves one field the plug-in reads for the rest of the run (layout
  // faults of the world: sky-weather, player-cell, cell-worldspace,
  // root-node, scene-position): the field holds what a moved layout leaves
  // there, while the world goes on through what it knows itself.
  void setLayoutFault(LayoutFault fault);
  // A saved-game load: from its start to its end the world is torn down.
  void beginLoad();
  void endLoad();
  // Once a frame, on the main thread: scene nodes take up the positions the
  // frame before ended with (frame), and the frame's end is noted (endFrame).
  void frame();
  void endFrame();

  // --- the natives, on the game's main thread (cellAttached: any thread) ------
  void moveReference(void* reference, void* destination, Position offset);
  bool cellAttached(void* cell) const;
  void recordCast(void* spell, void* caster, void* target);
  void recordFlash(void* modifier, bool applied);

  std::vector<MoveRecord> moves() const;
  std::vector<CastRecord> casts() const;
  std::vector<FlashRecord> flashes() const;

 private:
  // Where the player can stand: the exterior of one worldspace (an attached
  // cell around the player and an unattached one beyond), or an interior
  // (one cell, worldspace null).
  struct Area {
    void* worldspace = nullptr;
    void* attachedCell = nullptr;
    void* unattachedCell = nullptr;
  };
  struct Placed {
    void* loaded3D = nullptr;
    void* node = nullptr;
    Position position;
    Position shown;              // where the last frame ended: its scene node shows that
    const Area* area = nullptr;  // the area the reference was placed in
  };

  void* keep(size_t size);  // zeroed memory for the life of the process
  void* ownWorldspaceLocked(uint32_t formId, bool create = true);
  Area& exterior(void* worldspace);
  void* newCell(void* worldspace);
  void* cellFor(const Area* area, Position at) const;
  void give3D(void* reference, Placed& placed);
  void writePosition(void* node, Position position);
  void publishHolders();
  void publishPlayer();
  void writeCurrentWeather(void* weather);
  void writeCellWorldspace(void* cell, void* worldspace);
  // Cells follow the player: only the player's area is attached, and the
  // references placed in it move between its cells with their distance.
  void refreshCells();
  Position positionOf(void* reference) const;

  Run& run_;
  Engine& engine_;
  const Options& options_;
  // Where cells keep their worldspace in the runtime played, and the other
  // of the two offsets, which holds the poison value.
  size_t cellWorldspace_ = 0x120;
  size_t cellPoisonField_ = 0x128;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<uint8_t[]>> storage_;
  std::atomic<std::chrono::steady_clock::rep> startTicks_{std::chrono::steady_clock::now().time_since_epoch().count()};

  void* sky_ = nullptr;
  void* player_ = nullptr;
  Placed player3D_;
  bool loaded_ = false;
  bool loading_ = false;
  bool skyPresent_ = true;
  bool playerHolderPresent_ = true;
  bool playerHas3D_ = true;
  const Area* playerArea_ = nullptr;
  float attachedRange_ = kDefaultAttachedRange;
  float cellRange_ = kDefaultCellRange;

  std::map<void*, std::unique_ptr<Area>> exteriors_;
  std::map<uint32_t, void*> ownWorldspaces_;
  Area interior_;
  std::unordered_map<void*, bool> cellAttached_;
  std::unordered_map<void*, Placed> placed_;

  std::vector<MoveRecord> moves_;
  std::vector<CastRecord> casts_;
  std::vector<FlashRecord> flashes_;

  // The layout fault in force, and what it leaves where the plug-in reads.
  LayoutFault fault_ = LayoutFault::None;
  void* currentWeather_ = nullptr;  // what the sky's +0x48 would hold
  void* clouds_ = nullptr;          // sky-weather: the sky's Clouds object
  void* notAnObject_ = nullptr;     // player-cell: heap memory that is no object
  void* controller_ = nullptr;      // root-node: the player's animation controller

  // A thread may carry out one strike after another: a move that follows a
  // cast of the same burst of tasks begins the next strike, under a number
  // of its own. Numbers handed out here count down from the top, apart from
  // the host's.
  struct Strike {
    uint32_t number = 0;
    bool cast = false;
  };
  uint32_t strikeOf(bool cast);
  std::unordered_map<uint32_t, Strike> strikes_;
  uint32_t nextStrike_ = UINT32_MAX;
};

}  // namespace nimbrel_sim
