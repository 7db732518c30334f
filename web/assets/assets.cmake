# The files compiled into cv4870-web and served at /assets/<name>. Add a
# file here when it is added to this folder.
set(CV4870WEB_ASSETS
  fleet.html
  login.html
  mainframe.html
  events.html
  audit.html
  app.css
  icon.svg
  app.js
  chart.js
  fleet.js
  fleet-model.js
  fleet-worker.js
  list.js
  login.js
  mainframe.js)
