#pragma once
namespace taq { class Engine {}; }
