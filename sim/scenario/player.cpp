// Playing a scenario: each event at its time, the transition ramp and the
// clock of the hour between them, and the account of what played when.
#include "scenario/player.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "engine/world.h"

namespace nimbrel_sim {

ScenarioPlayer::ScenarioPlayer(GameDouble& game, Run& run, World& world, const Scenario& scenario, Hooks hooks)
    : game_(game),
      run_(run),
      world_(world),
      scenario_(scenario),
      hooks_(std::move(hooks)),
      playedAt_(scenario.events.size(), -1.0) {}

uint32_t ScenarioPlayer::weatherId(const FormRef& ref) const {
  switch (ref.kind) {
    case FormRef::Kind::None:
      return 0;
    case FormRef::Kind::Named:
      return game_.data().weatherId(ref.name);
    case FormRef::Kind::Id:
      return ref.id;
  }
  return 0;
}

bool ScenarioPlayer::step() {
  if (finished_.load()) return true;
  const double endMs = scenario_.endMs;
  if (!started_) {
    started_ = true;
    startMs_ = world_.simulatedMs();
    run_.trace.record("ScenarioStart", Args().f("endSeconds", endMs / 1000.0).u("events", scenario_.events.size()));
  }
  const double now = std::min(world_.simulatedMs() - startMs_, endMs);
  while (next_ < scenario_.events.size() && scenario_.events[next_].atMs <= now) {
    const ScenarioEvent& e = scenario_.events[next_];
    const double played = world_.simulatedMs() - startMs_;
    playedAt_[next_++] = played;
    apply(e);
    if (e.kind == ScenarioEvent::Kind::SavedGameLoad || e.kind == ScenarioEvent::Kind::Hitch)
      holds_.push_back({played, world_.simulatedMs() - startMs_, e.line, e.kind == ScenarioEvent::Kind::SavedGameLoad});
  }
  advance(now);
  const double after = std::min(world_.simulatedMs() - startMs_, endMs);  // a load or hitch took time
  playedMs_.store(after);
  playedOnce_.store(true);
  // Events after the end (a shortened scenario) are not played.
  if (after >= endMs) {
    run_.trace.record("ScenarioEnd", Args().f("seconds", (world_.simulatedMs() - startMs_) / 1000.0));
    finished_.store(true);
  }
  return finished_.load();
}

double ScenarioPlayer::fraction() const {
  return scenario_.endMs > 0 ? std::min(playedMs_.load() / scenario_.endMs, 1.0) : (finished_.load() ? 1.0 : 0.0);
}

std::vector<ScenarioOutcome> ScenarioPlayer::account() {
  // Events play at the first frame after their time; later than this, with
  // no load or hitch to blame, the main thread itself ran behind.
  constexpr double kBehindMs = 500.0;
  const auto describe = [](const Hold& h) {
    return std::string(h.load ? "the saved-game load" : "the hitch") + " at line " + std::to_string(h.line) +
           " held the main thread";
  };
  const double endedMs = playedMs_.load();
  std::vector<ScenarioOutcome> outcomes;
  for (size_t i = 0; i < scenario_.events.size(); ++i) {
    const ScenarioEvent& e = scenario_.events[i];
    ScenarioOutcome o;
    o.line = e.line;
    o.text = e.text;
    o.dueMs = e.atMs;
    o.playedMs = playedAt_[i];
    if (o.playedMs >= 0) {
      // The last hold that was under way between the event's time and its play.
      const Hold* held = nullptr;
      for (const Hold& h : holds_)
        if (h.fromMs < o.playedMs && h.toMs > o.dueMs && h.line != e.line) held = &h;
      const double lateMs = o.playedMs - o.dueMs;
      if (held) {
        o.status = ScenarioOutcome::Status::Late;
        o.why = describe(*held);
      } else if (lateMs > kBehindMs) {
        o.status = ScenarioOutcome::Status::Late;
        o.why = "the main thread ran behind (a busy machine)";
      } else {
        o.status = ScenarioOutcome::Status::OnTime;
      }
    } else if (e.atMs > scenario_.endMs) {
      o.status = ScenarioOutcome::Status::AfterEnd;
      o.why = "after the end of play";
    } else {
      o.status = ScenarioOutcome::Status::NotPlayed;
      char ended[48];
      std::snprintf(ended, sizeof ended, "%.1f s", endedMs / 1000.0);
      o.why = "play ended at " + std::string(ended);
      if (!holds_.empty() && holds_.back().toMs >= endedMs && holds_.back().fromMs <= e.atMs)
        o.why += " while " + describe(holds_.back());
      else if (!finished_.load())
        o.why += " when the main thread stopped";
      char due[48];
      std::snprintf(due, sizeof due, "%.1f s", e.atMs / 1000.0);
      run_.fail("scenario line " + std::to_string(e.line) + " (at " + due + ": " + e.text +
                ") was not played: " + o.why);
    }
    outcomes.push_back(std::move(o));
  }
  return outcomes;
}

void ScenarioPlayer::advance(double nowMs) {
  if (ramping_) {
    double done = rampMs_ > 0 ? (nowMs - rampStartMs_) / rampMs_ : 1.0;
    float t = 1.0f;
    if (done < 1.0) {
      t = rampFrom_ + (1.0f - rampFrom_) * static_cast<float>(std::max(done, 0.0));
    } else {
      ramping_ = false;
    }
    game_.world().setWeatherTransition(t);
  }
  if (hourSet_ && hourRate_ != 0) {
    double hour = hourBase_ + hourRate_ * (nowMs - hourStartMs_) / 60000.0;
    hour = std::fmod(hour, 24.0);
    if (hour < 0) hour += 24.0;
    game_.world().setGameHour(static_cast<float>(hour));
  }
}

void ScenarioPlayer::apply(const ScenarioEvent& e) {
  using Kind = ScenarioEvent::Kind;
  run_.trace.record("ScenarioEvent", Args().f("at", e.atMs / 1000.0).i("line", e.line).s("text", e.text));
  switch (e.kind) {
    case Kind::Weather: {
      uint32_t current = weatherId(e.current);
      // A change over time leaves the weather shown so far as the outgoing one.
      uint32_t outgoing = e.outgoingGiven ? weatherId(e.outgoing) : e.overMs > 0 ? world_.currentWeatherId() : 0;
      float t = e.transition.value_or(e.overMs > 0 ? 0.0f : 1.0f);
      game_.world().setWeather(current, outgoing, t);
      ramping_ = e.overMs > 0;
      rampStartMs_ = e.atMs;
      rampMs_ = e.overMs;
      rampFrom_ = t;
      break;
    }
    case Kind::Transition:
      game_.world().setWeatherTransition(*e.transition);
      ramping_ = e.overMs > 0;
      rampStartMs_ = e.atMs;
      rampMs_ = e.overMs;
      rampFrom_ = *e.transition;
      break;
    case Kind::Hour:
      hourSet_ = true;
      hourBase_ = e.hour;
      hourRate_ = e.rate;
      hourStartMs_ = e.atMs;
      game_.world().setGameHour(e.hour);
      break;
    case Kind::PlayerPosition:
      game_.world().setPlayerPosition(e.position.x, e.position.y, e.position.z);
      break;
    case Kind::PlayerInterior:
      game_.world().enterInterior();
      break;
    case Kind::PlayerExterior:
      game_.world().enterExterior(e.worldspaceId);
      break;
    case Kind::Player3D:
      game_.world().setPlayerHas3D(e.on);
      break;
    case Kind::PlayerHolder:
      game_.world().setPlayerHolderPresent(e.on);
      break;
    case Kind::PlayerNoCell:
      game_.world().setPlayerCellNull();
      break;
    case Kind::Sky:
      game_.world().setSkyPresent(e.on);
      break;
    case Kind::WorldLoad:
      // A loaded world starts at noon under a clear sky.
      ramping_ = false;
      hourSet_ = false;
      game_.world().loadWorld();
      break;
    case Kind::WorldUnload:
      game_.world().unloadWorld();
      break;
    case Kind::LoadedArea:
      game_.world().setLoadedArea(e.attachedRange, e.cellRange);
      break;
    // Menu events come from the game's UI thread, not the main thread.
    case Kind::Menu:
      hooks_.toUi([this, name = e.name, on = e.on] { game_.world().sendMenuEvent(name, on); });
      break;
    case Kind::Hit: {
      uint32_t source = e.sourceId;
      if (source == 0) {
        source = e.weapon ? kScenarioHitWeapon : kScenarioHitSpell;
        if (!game_.data().findForm(source)) game_.data().addForm(e.weapon ? FormKind::Weapon : FormKind::Spell, source);
      }
      game_.world().sendHitEvent(e.byPlayer, source);
      break;
    }
    case Kind::Action:
      game_.world().sendActionEvent(e.actionType, e.byPlayer);
      break;
    case Kind::SavedGameLoad:
      game_.host().loadSavedGame(e.on);
      break;
    case Kind::Hitch:
      hooks_.stall(e.stallMs);
      break;
    case Kind::SetInt:
    case Kind::SetFloat: {
      // Script calls run on the script machine's threads, beside the frames.
      hooks_.toScripts([this, e] {
        const bool isInt = e.kind == Kind::SetInt;
        uint64_t resultType = 0;
        bool called = game_.scripts().callNative(
            "NimbrelPluginScript", isInt ? "SetIntValue" : "SetFloatValue", ScriptArg::String(e.name),
            isInt ? ScriptArg::Int(e.intValue) : ScriptArg::Float(e.floatValue), &resultType);
        run_.trace.record("ScenarioScriptCall",
                          Args().s("key", e.name).b("called", called).u("resultType", resultType));
      });
      break;
    }
  }
}

}  // namespace nimbrel_sim
