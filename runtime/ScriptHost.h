// The script host. (A minimal first version: it holds the demo time.)
#pragma once

class ScriptHost {
 public:
  void setTime(float seconds) { time = seconds; }
  float getTime() const { return time; }

  float time = 0.0f;
};

extern ScriptHost* gScriptHost;
