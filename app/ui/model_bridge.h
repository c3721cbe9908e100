// Turns the app model's observation into Qt signals for the views. Lives on
// the model's thread and must not outlive the model.
//
// fieldChanged is emitted synchronously for every notification, possibly in
// the middle of a model operation; changed() follows once per event-loop
// turn however many fields changed, after the operation is complete, and is
// what views refresh on.
#pragma once

#include <QObject>

#include "app/model/app_model.h"

Q_DECLARE_METATYPE(choralink::ModelField)

namespace choralink::ui {

class ModelBridge : public QObject {
  Q_OBJECT

 public:
  explicit ModelBridge(AppModel& model, QObject* parent = nullptr);

  AppModel& model() { return model_; }

 Q_SIGNALS:
  void fieldChanged(choralink::ModelField field);
  void changed();

 private:
  void notified(ModelField field);

  AppModel& model_;
  Observation observation_;
  bool changedPending_ = false;
};

}  // namespace choralink::ui
