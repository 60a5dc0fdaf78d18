-- start-up script of the sample game
local config = { width = 640, height = 480, title = "sample" }
function start()
  load_archive("assets.kup")
  show_title(config.title)
end
